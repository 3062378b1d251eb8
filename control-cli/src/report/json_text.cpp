#include "report/json_text.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace corvanelle {
namespace {

using nlohmann::json;

template <typename Int>
void append_integer(Int value, std::string& out) {
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    out.append(digits.data(), end);
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
    Writer(TextOut& out, bool indented) : out_(out), text_(out.text()), indented_(indented) {}

    bool value(const json& v, int depth) {
        switch (v.type()) {
            case json::value_t::null:
                text_ += "null";
                return true;
            case json::value_t::boolean:
                text_ += v.get<bool>() ? "true" : "false";
                return true;
            case json::value_t::number_unsigned:
                append_integer(v.get<std::uint64_t>(), text_);
                return true;
            case json::value_t::number_integer:
                append_integer(v.get<std::int64_t>(), text_);
                return true;
            case json::value_t::number_float:
                append_double(v.get<double>(), text_);
                return true;
            case json::value_t::string:
                append_string(v.get_ref<const json::string_t&>(), text_);
                out_.checkpoint();
                return true;
            case json::value_t::array:
                return array(v.get_ref<const json::array_t&>(), depth);
            case json::value_t::object:
                return object(v.get_ref<const json::object_t&>(), depth);
            case json::value_t::binary:
            case json::value_t::discarded:
                break;
        }
        return false;
    }

  private:
    bool array(const json::array_t& items, int depth) {
        if (items.empty()) {
            text_ += "[]";
            return true;
        }
        text_ += '[';
        bool first = true;
        for (const json& item : items) {
            separator(first, depth + 1);
            if (!value(item, depth + 1)) {
                return false;
            }
        }
        close(']', depth);
        return true;
    }

    bool object(const json::object_t& members, int depth) {
        if (members.empty()) {
            text_ += "{}";
            return true;
        }
        text_ += '{';
        bool first = true;
        for (const auto& [key, item] : members) {
            separator(first, depth + 1);
            append_string(key, text_);
            text_ += indented_ ? ": " : ":";
            if (!value(item, depth + 1)) {
                return false;
            }
        }
        close('}', depth);
        return true;
    }

    void separator(bool& first, int depth) {
        if (!first) {
            text_ += ',';
        }
        first = false;
        if (indented_) {
            newline(depth);
        }
        out_.checkpoint();
    }

    void close(char bracket, int depth) {
        if (indented_) {
            newline(depth);
        }
        text_ += bracket;
    }

    void newline(int depth) {
        // A line feed and the indentation in one append; deeper levels repeat the widest piece.
        static constexpr std::string_view kIndent =
            "\n                                                                "
            "                                                                ";
        auto blanks = static_cast<std::size_t>(depth) * 2;
        const std::size_t first = std::min(blanks, kIndent.size() - 1);
        text_.append(kIndent.data(), first + 1);
        for (blanks -= first; blanks > 0; blanks -= std::min(blanks, kIndent.size() - 1)) {
            text_.append(kIndent.data() + 1, std::min(blanks, kIndent.size() - 1));
        }
    }

    TextOut& out_;
    std::string& text_;
    bool indented_;
};

}  // namespace

void append_string(std::string_view text, std::string& out) {
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!kNeedsEscape[byte]) {
            continue;
        }
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default: {
                constexpr std::string_view hex = "0123456789abcdef";
                const std::array<char, 6> escape{'\\',           'u', '0', '0', hex[byte >> 4],
                                                 hex[byte & 0xf]};
                out.append(escape.data(), escape.size());
            }
        }
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void append_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) {
        out += '-';
        value = -value;
    }
    if (value == 0.0) {
        out += "0.0";
        return;
    }
    // The shortest round-trip digits in scientific form, e.g. "1.2345e+02" or "5e-324".
    std::array<char, 32> sci{};
    const auto end =
        std::to_chars(sci.data(), sci.data() + sci.size(), value, std::chars_format::scientific)
            .ptr;
    const std::string_view text(sci.data(), static_cast<std::size_t>(end - sci.data()));
    const std::size_t e = text.find('e');
    std::array<char, 20> digit_buffer{};
    std::size_t count = 0;
    for (const char c : text.substr(0, e)) {
        if (c != '.') {
            digit_buffer[count++] = c;
        }
    }
    const std::string_view digits(digit_buffer.data(), count);
    int exponent = 0;
    const std::string_view exp_text = text.substr(e + 1);
    std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0),
                    exp_text.data() + exp_text.size(), exponent);

    if (exponent >= 0 && exponent <= 15) {
        const auto integral = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= integral) {
            out += digits;
            out.append(integral - digits.size(), '0');
            out += ".0";
        } else {
            out += digits.substr(0, integral);
            out += '.';
            out += digits.substr(integral);
        }
    } else if (exponent < 0 && exponent >= -5) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += exponent < 0 ? "e-" : "e+";
        append_integer(std::abs(exponent), out);
    }
}

bool write_compact(const json& value, TextOut& out) {
    return Writer(out, false).value(value, 0);
}

bool write_indented(const json& value, TextOut& out) {
    return Writer(out, true).value(value, 0);
}

std::string to_compact(const json& value) {
    TextOut out;
    write_compact(value, out);
    return std::move(out.text());
}

std::string to_indented(const json& value) {
    TextOut out;
    write_indented(value, out);
    return std::move(out.text());
}

Status print_value(const json& value, bool compact) {
    TextOut out(STDOUT_FILENO);
    const bool written = compact ? write_compact(value, out) : write_indented(value, out);
    if (written) {
        out.text() += '\n';
    } else {
        out.text().clear();
    }
    return out.finish();
}

}  // namespace corvanelle
