// The host's one option table: a row per option (its long name, its argument and range, its
// help line, the options it excludes and the ones of which it needs one) drives the parser
// (options.cpp),
// --help, the range checks and the rules of which options go together.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "settings.hpp"

namespace corvanelle::stub {

enum class Value : std::uint8_t { none, number, text };

// What follows an option: nothing, a text, or a whole number in a range.
struct Argument {
    Value value;
    std::string_view name;  // in --help
    std::uint64_t low;
    std::uint64_t high;
};

// An option's value as given: its text, and for a number option the number it reads as.
struct Given {
    std::string_view text;
    std::uint64_t number = 0;
};

struct Row {
    Option id;
    std::string_view name;  // the long name, without its "--"
    Argument argument;
    OptionSet excludes;     // options that cannot be given with it
    OptionSet needs;        // options of which it needs one, or it means nothing
    std::string_view help;  // a line feed starts another line of it
    void (*apply)(Settings&, const Given&);
};

// Every row, in the order --help shows them.
std::span<const Row> option_rows();
const Row& row_of(Option id);

// The --help text, made from the table.
std::string help_text();

inline std::string long_name(const Row& row) {
    return "--" + std::string(row.name);
}

}  // namespace corvanelle::stub
