#include "report/json_text.hpp"

#include "document.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json_fwd.hpp>

namespace corvanelle {
namespace {

using nlohmann::json;

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

}  // namespace

void append_string(std::string_view text, TextOut& out) {
    out.put('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!kNeedsEscape[byte]) {
            continue;
        }
        out.put(text.substr(run, i - run));
        run = i + 1;
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
                const std::array<char, 6> escape{'\\',           'u', '0', '0', hex[byte >> 4],
                                                 hex[byte & 0xf]};
                out.put({escape.data(), escape.size()});
            }
        }
    }
    out.put(text.substr(run));
    out.put('"');
}

void append_double(double value, TextOut& out) {
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
    out.commit(at);
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

std::string to_indented(const Document& value) {
    TextOut out;
    write_indented(value, out);
    return std::string(out.view());
}

std::string to_compact(const json& value) {
    return to_compact(Document::from_json(value));
}

std::string to_indented(const json& value) {
    return to_indented(Document::from_json(value));
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
