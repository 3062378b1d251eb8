// The two text forms of a JSON value: compact (no white space) and indented (two blanks a level).
// Object members always come out in ascending byte order of their keys, strings escape only
// what JSON requires, and doubles use the shortest digits that read back to the same value.
#pragma once

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
void append_double(double value, TextOut& out);
// The same digits as append_double, always by the general route (for checking the short one).
void append_double_general(double value, TextOut& out);
// Whether a JSON number's text is, byte for byte, what append_double writes for the double it
// stands for, so that a reader may keep the text and a writer copy it, unconverted. `value` is a
// candidate for that double (a parser's own quick conversion), used only where it is proven to
// be the double. The text must be a nonzero plain decimal with a point, no trailing zero but
// the one of a whole number ("12.0"), at most four zeros after "0.", and either at most 15
// digits from its first nonzero one (such a text always has the shortest digits of its
// double), or 16 or 17 that are proven in exact integer arithmetic to be the shortest digits of
// `value`, itself proven to be the double the text reads as.
bool written_as_read(std::string_view number_text, double value);

// Prints `value` and one line feed on standard output, compact or indented, and returns the
// first failed write, if any, or the lack of memory to make the text.
Status print_value(const Document& value, bool compact);

}  // namespace corvanelle
