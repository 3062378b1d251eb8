#include "report/json_text.hpp"

#include "shared/document.hpp"
#include "shared/failure_texts.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

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
                append_integer(v.unsigned_integer(), out_);
                break;
            case Document::Kind::signed_integer:
                append_integer(v.signed_integer(), out_);
                break;
            case Document::Kind::floating:
                append_double(v.floating(), out_);
                break;
            case Document::Kind::string:
                append_string(v.text(), out_);
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
                    [&, first = true](std::string_view key, Document::Value item) mutable {
                        separator(first, depth + 1);
                        append_string(key, out_);
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

    // A line feed and two blanks a level.
    void newline(int depth) {
        const auto blanks = static_cast<std::size_t>(depth) * 2;
        char* at = out_.room(blanks + 1);
        *at = '\n';
        std::memset(at + 1, ' ', blanks);
        out_.commit(at + 1 + blanks);
    }

    TextOut& out_;
    bool indented_;
};

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
    // The text is made in a buffer that can run out of memory: a failure like a failed write,
    // after which standard output may hold the text's start.
    try {
        TextOut out(STDOUT_FILENO);
        if (compact) {
            write_compact(value, out);
        } else {
            write_indented(value, out);
        }
        out.put('\n');
        return out.finish();
    } catch (const std::bad_alloc&) {
        return fail(texts::kOutputOutOfMemory);
    }
}

}  // namespace corvanelle
