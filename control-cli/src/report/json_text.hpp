// The two text forms of a JSON value: compact (no white space) and indented (two blanks a level).
// Object members always come out in ascending byte order of their keys, strings escape only
// what JSON requires, and doubles use the shortest digits that read back to the same value.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "report/output.hpp"
#include "result.hpp"

namespace corvanelle {

// Append the text of `value` to `out`. They return false, having written part of the text,
// only for value kinds that have no JSON text (binary data, a discarded value), which neither
// the reader nor this program ever produces.
bool write_compact(const nlohmann::json& value, TextOut& out);
bool write_indented(const nlohmann::json& value, TextOut& out);

// The compact text as one string (requests, the error envelope).
std::string to_compact(const nlohmann::json& value);
std::string to_indented(const nlohmann::json& value);

// Pieces of the text forms, also used on their own.
void append_string(std::string_view text, TextOut& out);
void append_double(double value, TextOut& out);

// Prints `value` and one line feed on standard output, compact or indented. A value that has
// no text prints nothing; a failed write is returned.
Status print_value(const nlohmann::json& value, bool compact);

}  // namespace corvanelle
