// The two text forms of a JSON value: compact (no white space) and indented (two blanks a level).
// Object members always come out in ascending byte order of their keys, strings escape only
// what JSON requires, and numbers are written as report/number_text writes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "report/output.hpp"
#include "shared/document.hpp"
#include "shared/result.hpp"

namespace corvanelle {

void write_compact(const Document& value, TextOut& out);
void write_indented(const Document& value, TextOut& out);

// The text as one string (requests, the error envelope, tests).
std::string to_compact(const Document& value);
std::string to_indented(const Document& value);
// One value of a document on its own.
std::string to_compact(Document::Value value);

// Pieces of the text forms, also used on their own.
void append_string(std::string_view text, TextOut& out);

// Prints `value` and one line feed on standard output, compact or indented, and returns the
// first failed write, if any, or the lack of memory to make the text.
Status print_value(const Document& value, bool compact);

}  // namespace corvanelle
