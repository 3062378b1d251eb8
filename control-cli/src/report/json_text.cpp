#include "report/json_text.hpp"

#include "shared/document.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace corvanelle {
namespace {

template <typename Int>
void append_integer(Int value, TextOut& out) {
    char* at = out.room(24);
    out.commit(std::to_chars(at, at + 24, value).ptr);
}

// Bytes that a JSON string must escape: the quotation mark, the backslash and controls.
constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[static_cast<std::size_t>(c)] = true;
    }
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

// Whether any of the eight bytes in `word` must be escaped: below 0x20, '"' or '\\'. Each
// test sets the top bit of a byte that matches (exact for bytes below 0x80; bytes from 0x80
// up never match, as their own top bit is cleared by the final mask).
constexpr bool any_to_escape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101U;
    constexpr std::uint64_t tops = 0x8080808080808080U;
    const std::uint64_t below_space = word - ones * 0x20;
    const std::uint64_t quote = word ^ (ones * '"');
    const std::uint64_t backslash = word ^ (ones * '\\');
    return ((below_space | (quote - ones) | (backslash - ones)) & ~word & tops) != 0;
}

// The index of the first byte at or after `from` that must be escaped, or text.size().
std::size_t next_to_escape(std::string_view text, std::size_t from) {
    const char* data = text.data();
    std::size_t i = from;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data + i, 8);
        if (any_to_escape(word)) {
            break;
        }
    }
    for (; i < text.size(); ++i) {
        if (kNeedsEscape[static_cast<unsigned char>(data[i])]) {
            return i;
        }
    }
    return i;
}

void put_escape(unsigned char byte, TextOut& out) {
    switch (byte) {
        case '"':
            out.put("\\\"");
            break;
        case '\\':
            out.put("\\\\");
            break;
        case '\b':
            out.put("\\b");
            break;
        case '\t':
            out.put("\\t");
            break;
        case '\n':
            out.put("\\n");
            break;
        case '\f':
            out.put("\\f");
            break;
        case '\r':
            out.put("\\r");
            break;
        default: {
            constexpr std::string_view hex = "0123456789abcdef";
            const std::array<char, 6> escape{'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xf]};
            out.put({escape.data(), escape.size()});
        }
    }
}

constexpr bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

constexpr std::array<double, 7> kPowersOfTen = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};

// Short decimals, such as coordinates (1234.5, 0.25, 17.125), without the general route:
// the smallest count k of decimals for which some integer n < 2^50 gives n / 10^k == value
// exactly. One IEEE division of two exact numbers rounds the way strtod rounds "n e-k", so n
// with k decimals reads back to the value; no shorter text does, since k is the smallest and
// the value's rounding interval, scaled by 10^k, is narrower than a quarter. Covers values
// from 1e-5 up to 1e15, the fixed notation's range. Returns the end, or nullptr.
char* short_decimal(double value, char* at) {
    if (!(value >= 1e-5 && value < 1e15)) {
        return nullptr;
    }
    // Six decimals first, once: a value with fewer also passes there (scaled by 10^6 it is
    // that same integer exactly, below 2^50), so one that fails has more and is no short
    // decimal; most of those are turned away here at the cost of one try instead of seven.
    constexpr std::size_t kMost = kPowersOfTen.size() - 1;
    const double most = value * kPowersOfTen[kMost];
    if (most < 1125899906842624.0 &&                                   // 2^50
        static_cast<double>(static_cast<std::uint64_t>(most + 0.5)) /  // NOLINT
                kPowersOfTen[kMost] !=
            value) {
        return nullptr;
    }
    for (std::size_t k = 0; k < kPowersOfTen.size(); ++k) {
        const double scaled = value * kPowersOfTen[k];
        if (scaled >= 1125899906842624.0) {  // 2^50
            return nullptr;
        }
        // The nearest integer: scaled is positive, and the candidate is checked exactly below.
        const auto n =
            static_cast<std::uint64_t>(scaled + 0.5);  // NOLINT(bugprone-incorrect-roundings)
        if (static_cast<double>(n) / kPowersOfTen[k] != value) {
            continue;
        }
        // n with its last k digits after the point; ".0" for a whole number.
        std::array<char, 24> digits{};
        const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), n).ptr;
        auto count = static_cast<std::size_t>(end - digits.data());
        if (k == 0) {
            std::memcpy(at, digits.data(), count);
            at += count;
            *at++ = '.';
            *at++ = '0';
            return at;
        }
        if (count <= k) {
            *at++ = '0';
            *at++ = '.';
            std::memset(at, '0', k - count);
            at += k - count;
            std::memcpy(at, digits.data(), count);
            return at + count;
        }
        std::memcpy(at, digits.data(), count - k);
        at += count - k;
        *at++ = '.';
        std::memcpy(at, digits.data() + count - k, k);
        return at + k;
    }
    return nullptr;
}

// The general route: the shortest round-trip digits, laid out by the fixed/exponent rules.
char* general_double(double value, char* at) {
    if (value >= 1e-5 && value < 1e16) {
        // Decimal exponents -5 to 15: the fixed notation, which the library lays out itself
        // with the shortest digits that read back; a whole number gets its ".0".
        char* end = std::to_chars(at, at + 24, value, std::chars_format::fixed).ptr;
        if (std::find(at, end, '.') == end) {
            std::copy_n(".0", 2, end);
            end += 2;
        }
        return end;
    }
    // The shortest round-trip digits in scientific form, e.g. "1.2345e+02" or "5e-324".
    std::array<char, 32> sci{};
    const char* const sci_end =
        std::to_chars(sci.data(), sci.data() + sci.size(), value, std::chars_format::scientific)
            .ptr;
    const char* e = sci.data();
    std::array<char, 20> digit_buffer{};
    std::size_t count = 0;
    for (; *e != 'e'; ++e) {
        if (*e != '.') {
            digit_buffer[count++] = *e;
        }
    }
    const char* digits = digit_buffer.data();
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), sci_end, exponent);

    if (exponent >= 0 && exponent <= 15) {
        const auto integral = static_cast<std::size_t>(exponent) + 1;
        if (count <= integral) {
            std::memcpy(at, digits, count);
            std::memset(at + count, '0', integral - count);
            at += integral;
            std::copy_n(".0", 2, at);
            at += 2;
        } else {
            std::memcpy(at, digits, integral);
            at += integral;
            *at++ = '.';
            std::memcpy(at, digits + integral, count - integral);
            at += count - integral;
        }
    } else if (exponent < 0 && exponent >= -5) {
        const auto zeros = static_cast<std::size_t>(-exponent - 1);
        std::copy_n("0.", 2, at);
        std::memset(at + 2, '0', zeros);
        at += 2 + zeros;
        std::memcpy(at, digits, count);
        at += count;
    } else {
        *at++ = digits[0];
        if (count > 1) {
            *at++ = '.';
            std::memcpy(at, digits + 1, count - 1);
            at += count - 1;
        }
        *at++ = 'e';
        *at++ = exponent < 0 ? '-' : '+';
        at = std::to_chars(at, at + 4, std::abs(exponent)).ptr;
    }
    return at;
}

void put_double(double value, TextOut& out, bool short_route) {
    if (!std::isfinite(value)) {
        out.put("null");
        return;
    }
    // At most a sign, "0.", four zeros and 17 digits, or 17 digits with "e-324".
    char* at = out.room(32);
    if (std::signbit(value)) {
        *at++ = '-';
        value = -value;
    }
    if (value == 0.0) {
        std::copy_n("0.0", 3, at);
        out.commit(at + 3);
        return;
    }
    char* end = short_route ? short_decimal(value, at) : nullptr;
    out.commit(end != nullptr ? end : general_double(value, at));
}

// A line feed and the blanks of the deepest level a reply may have, with room behind them for
// the whole blocks in which newline() copies them.
constexpr std::size_t kPreparedLevels = 128;
constexpr std::size_t kBlock = 16;
constexpr std::array<char, 1 + 2 * kPreparedLevels + kBlock> kLineAndBlanks = [] {
    std::array<char, 1 + 2 * kPreparedLevels + kBlock> run{};
    run[0] = '\n';
    for (std::size_t i = 1; i < run.size(); ++i) {
        run[i] = ' ';
    }
    return run;
}();

// A string or key between quotation marks: bytes that need no escape are copied in one piece.
void put_string(Document::Value text, TextOut& out) {
    const std::string_view bytes = text.text();
    if (!text.needs_no_escape()) {
        append_string(bytes, out);
        return;
    }
    if (bytes.size() >= TextOut::kChunk) {
        // Long ones (an image) go to the descriptor straight from where they were received.
        out.put('"');
        out.put(bytes);
        out.put('"');
        return;
    }
    char* at = out.room(bytes.size() + 2);
    *at++ = '"';
    std::memcpy(at, bytes.data(), bytes.size());
    at += bytes.size();
    *at++ = '"';
    out.commit(at);
}

class Writer {
  public:
    Writer(TextOut& out, bool indented) : out_(out), indented_(indented) {}

    void value(Document::Value v, int depth) {
        switch (v.kind()) {
            case Document::Kind::null:
                out_.put("null");
                break;
            case Document::Kind::boolean:
                out_.put(v.boolean() ? std::string_view("true") : std::string_view("false"));
                break;
            case Document::Kind::unsigned_integer:
            case Document::Kind::signed_integer:
            case Document::Kind::floating:
                // A number read in the very form it is written in is copied as it stands.
                if (const std::string_view text = v.number_text(); !text.empty()) {
                    out_.put(text);
                } else if (v.kind() == Document::Kind::floating) {
                    append_double(v.floating(), out_);
                } else if (v.kind() == Document::Kind::unsigned_integer) {
                    append_integer(v.unsigned_integer(), out_);
                } else {
                    append_integer(v.signed_integer(), out_);
                }
                break;
            case Document::Kind::string:
                put_string(v, out_);
                break;
            case Document::Kind::array:
                if (v.size() == 0) {
                    out_.put("[]");
                    break;
                }
                out_.put('[');
                v.for_each_element([&, first = true](Document::Value item) mutable {
                    separator(first, depth + 1);
                    value(item, depth + 1);
                });
                close(']', depth);
                break;
            case Document::Kind::object:
                if (v.size() == 0) {
                    out_.put("{}");
                    break;
                }
                out_.put('{');
                v.for_each_member(
                    [&, first = true](Document::Value key, Document::Value item) mutable {
                        separator(first, depth + 1);
                        put_string(key, out_);
                        out_.put(indented_ ? std::string_view(": ") : std::string_view(":"));
                        value(item, depth + 1);
                    });
                close('}', depth);
                break;
        }
    }

  private:
    void separator(bool& first, int depth) {
        out_.checkpoint();
        if (!first) {
            out_.put(',');
        }
        first = false;
        if (indented_) {
            newline(depth);
        }
    }

    void close(char bracket, int depth) {
        if (indented_) {
            newline(depth);
        }
        out_.put(bracket);
    }

    // A line feed and two blanks a level, copied from the prepared run in whole blocks (the
    // last one may reach past the end; what it writes there is overwritten next).
    void newline(int depth) {
        const auto levels = static_cast<std::size_t>(depth);
        const std::size_t prepared = std::min(levels, kPreparedLevels);
        const std::size_t length = 1 + 2 * prepared;
        const std::size_t beyond = 2 * (levels - prepared);
        char* at = out_.room(length + kBlock + beyond);
        for (std::size_t i = 0; i < length; i += kBlock) {
            std::memcpy(at + i, kLineAndBlanks.data() + i, kBlock);
        }
        at += length;
        if (beyond > 0) {
            // Only documents built by hand are deeper.
            std::memset(at, ' ', beyond);
            at += beyond;
        }
        out_.commit(at);
    }

    TextOut& out_;
    bool indented_;
};

}  // namespace

void append_string(std::string_view text, TextOut& out) {
    out.put('"');
    std::size_t run = 0;
    for (std::size_t i = next_to_escape(text, 0); i < text.size(); i = next_to_escape(text, run)) {
        out.put(text.substr(run, i - run));
        put_escape(static_cast<unsigned char>(text[i]), out);
        run = i + 1;
    }
    out.put(text.substr(run));
    out.put('"');
}

void append_double(double value, TextOut& out) {
    put_double(value, out, true);
}

void append_double_general(double value, TextOut& out) {
    put_double(value, out, false);
}

bool written_as_read(std::string_view text) {
    // Any decimal of at most 15 significant digits reads to a double whose shortest digits are
    // its own (a double tells apart all such decimals, so no other of them, shorter or not,
    // reads back to it); fixed notation covers decimal exponents -5 to 15.
    constexpr std::ptrdiff_t kMaxDigits = 15;
    constexpr std::ptrdiff_t kMaxLeadingZeros = 4;  // 0.00001 is the smallest fixed notation
    const char* at = text.data();
    const char* const end = at + text.size();
    at += at != end && *at == '-' ? 1 : 0;
    // Turned away by length alone: more than 15 digits and a point before them, unless "0.".
    if (end - at > kMaxDigits + 1 && !(end - at > 1 && at[0] == '0' && at[1] == '.')) {
        return false;
    }
    const char* const whole = at;
    while (at != end && is_decimal_digit(*at)) {
        ++at;
    }
    if (at == whole || at == end || *at != '.' || (*whole == '0' && at - whole > 1)) {
        return false;
    }
    const char* const fraction = ++at;
    std::ptrdiff_t digits = *whole == '0' ? 0 : fraction - 1 - whole;
    if (digits == 0) {
        while (at != end && *at == '0') {
            ++at;
        }
        if (at - fraction > kMaxLeadingZeros) {
            return false;
        }
    }
    const char* const significant = at;
    if (digits + (end - significant) > kMaxDigits) {
        return false;  // too many digits, or more than digits
    }
    while (at != end && is_decimal_digit(*at)) {
        ++at;
    }
    if (at != end || at == fraction) {
        return false;  // an exponent follows, or no digit does
    }
    digits += end - significant;
    // A trailing zero only in the ".0" of a whole number; zero itself never.
    return end[-1] != '0' ? digits > 0 : end - fraction == 1 && *whole != '0';
}

void write_compact(const Document& value, TextOut& out) {
    Writer(out, false).value(value.root(), 0);
}

void write_indented(const Document& value, TextOut& out) {
    Writer(out, true).value(value.root(), 0);
}

std::string to_compact(const Document& value) {
    TextOut out;
    write_compact(value, out);
    return std::string(out.view());
}

std::string to_compact(Document::Value value) {
    TextOut out;
    Writer(out, false).value(value, 0);
    return std::string(out.view());
}

std::string to_indented(const Document& value) {
    TextOut out;
    write_indented(value, out);
    return std::string(out.view());
}

Status print_value(const Document& value, bool compact) {
    TextOut out(STDOUT_FILENO);
    if (compact) {
        write_compact(value, out);
    } else {
        write_indented(value, out);
    }
    out.put('\n');
    return out.finish();
}

}  // namespace corvanelle
