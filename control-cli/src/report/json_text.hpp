// The two text forms of a JSON value: compact (no white space) and indented (two blanks a level).
// Object members always come out in ascending byte order of their keys, strings escape only
// what JSON requires, and doubles use the shortest digits that read back to the same value.
#pragma once

#include <cstddef>
#include <cstdint>
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
// How the writers write the double that a JSON number's text stands for, told from the text:
enum class NumberForm : std::uint8_t {
    value,    // only the double's value tells: the text is converted
    as_read,  // exactly as the text stands, byte for byte
    relaid,   // the text's own digits laid out anew (a trailing zero dropped, an exponent
              // written out or written as the writers write it), made from the text alone
};
// A text whose significant digits (trailing zeros dropped) are at most 15, of a nonzero value
// between 1e-307 and 1e308, has those digits as its double's shortest digits. One of 16 or 17
// has them when exact 128-bit integer arithmetic proves it, with `candidate` (a parser's own
// quick conversion, or its neighbour) proven to be the double the text reads as. Everything
// else, zero among it, is `value`. `readable`: how many bytes from the text's start may be
// read (at least its size), so that it can be scanned eight bytes at a time.
NumberForm number_form(std::string_view text, std::size_t readable, double candidate);

// Prints `value` and one line feed on standard output, compact or indented, and returns the
// first failed write, if any, or the lack of memory to make the text.
Status print_value(const Document& value, bool compact);

}  // namespace corvanelle
