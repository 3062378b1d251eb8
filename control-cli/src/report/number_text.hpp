// The text of a number in the writers' output: integers in decimal; doubles with the shortest
// digits that read back to the same value, in fixed notation for decimal exponents from -5 to
// 15 and exponent notation beyond ("1.5e-07", "1e+16"), a whole number with ".0", and "null"
// for what JSON cannot hold. A number read from a text is told from that text where it can be:
// copied as it stands, its own digits laid out anew, or converted only when neither will do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report/output.hpp"
#include "shared/document.hpp"

namespace corvanelle {

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

// The most bytes number_chars writes: a sign, "0.", four zeros and 17 digits, or 17 digits
// with "e-324", or "null"; a 64-bit integer takes fewer.
inline constexpr std::size_t kNumberRoom = 32;

// The writers' one entry: writes the text of a number that is not copied as it was read (one
// kept as its text whose form is relaid, an integer, or a double) at `at`, which has
// kNumberRoom bytes, and returns its end.
char* number_chars(Document::Value number, char* at);

// A double on its own, by the route the writers take (short decimals first).
void append_double(double value, TextOut& out);
// The same digits as append_double, always by the general route (for checking the short one).
void append_double_general(double value, TextOut& out);

}  // namespace corvanelle
