#include "exchange/reader.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace corvanelle {
namespace {

using nlohmann::json;

// Turns the library's parse events into a Document, adding what the library does not check by
// itself: the nesting limit, and "-0" as the double negative zero.
// NOLINTNEXTLINE(bugprone-exception-escape): its implicit members only move or destroy values.
class ReplyBuilder {
  public:
    explicit ReplyBuilder(std::size_t size) : builder_(size) {}

    bool null() {
        builder_.null();
        return true;
    }
    bool boolean(bool v) {
        builder_.boolean(v);
        return true;
    }
    // The library reports every integer with a minus sign here, so zero can only be "-0".
    bool number_integer(std::int64_t v) {
        if (v == 0) {
            builder_.floating(-0.0);
        } else {
            builder_.signed_integer(v);
        }
        return true;
    }
    bool number_unsigned(std::uint64_t v) {
        builder_.unsigned_integer(v);
        return true;
    }
    bool number_float(double v, const std::string& /*text*/) {
        builder_.floating(v);
        return true;
    }
    // The library's event interface passes strings by non-const reference.
    // cppcheck-suppress constParameter
    bool string(std::string& v) {
        builder_.string(v);
        return true;
    }
    bool binary(json::binary_t& /*unused*/) { return false; }
    // cppcheck-suppress constParameter
    bool key(std::string& name) {
        builder_.key(name);
        return true;
    }

    bool start_object(std::size_t /*unknown size*/) {
        if (!open()) {
            return false;
        }
        builder_.start_object();
        return true;
    }
    bool start_array(std::size_t /*unknown size*/) {
        if (!open()) {
            return false;
        }
        builder_.start_array();
        return true;
    }
    bool end_object() {
        builder_.end();
        return true;
    }
    bool end_array() {
        builder_.end();
        return true;
    }

    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& error) {
        position_ = position;
        description_ = describe(error, last_token);
        return false;
    }

    [[nodiscard]] bool too_deep() const { return too_deep_; }
    [[nodiscard]] std::size_t error_position() const { return position_; }
    [[nodiscard]] const std::string& description() const { return description_; }
    Document take() { return builder_.take(); }

  private:
    bool open() {
        too_deep_ = builder_.depth() == kMaxNesting;
        return !too_deep_;
    }

    // The library's message without its "[json.exception…]" tag, its own position and any
    // quotation of the input, so that no reply byte reaches the failure message.
    static std::string describe(const nlohmann::detail::exception& error,
                                const std::string& last_token) {
        std::string text = error.what();
        if (const auto tag_end = text.find("] "); tag_end != std::string::npos) {
            text.erase(0, tag_end + 2);
        }
        if (text.starts_with("parse error at line ")) {
            if (const auto colon = text.find(": "); colon != std::string::npos) {
                text.erase(0, colon + 2);
            }
        }
        const std::string quoted = "; last read: '" + last_token + "'";
        if (const auto at = text.find(quoted); at != std::string::npos) {
            text.erase(at, quoted.size());
        }
        if (error.id == 406) {
            text = "number overflow: the value is too large for a double";
        }
        return text;
    }

    DocumentBuilder builder_;
    bool too_deep_ = false;
    std::size_t position_ = 0;
    std::string description_;
};

// Where the opening bracket of the first level beyond the limit stands. Only called when the
// parser stopped there, so everything before it is well-formed JSON.
std::size_t offset_of_too_deep(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return i;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return text.size();
}

// Line from 1 by line feeds, column in bytes within the line, from 1.
Unexpected reader_error(std::string_view text, std::size_t offset, const std::string& description) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const auto line = 1 + std::count(before.begin(), before.end(), '\n');
    const auto line_start = before.rfind('\n');
    const auto column = offset - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
    return fail(description + " at line " + std::to_string(line) + " column " +
                std::to_string(column));
}

}  // namespace

Result<Document> read_reply(std::string_view payload) {
    // The library would skip a byte-order mark; in a reply it is an error.
    if (payload.starts_with("\xEF\xBB\xBF")) {
        return reader_error(payload, 0, "syntax error - a byte-order mark is not allowed");
    }
    ReplyBuilder builder(payload.size());
    const bool parsed = json::sax_parse(payload.begin(), payload.end(), &builder);
    if (builder.too_deep()) {
        return reader_error(payload, offset_of_too_deep(payload),
                            "syntax error - nesting deeper than 127 levels");
    }
    if (!parsed) {
        // The library counts the byte it stopped at from 1.
        const std::size_t at = builder.error_position() == 0 ? 0 : builder.error_position() - 1;
        return reader_error(payload, at, builder.description());
    }
    // The library takes a NUL byte for the end of its input; in a reply it is never allowed
    // (inside a string it is already refused as a raw control character).
    if (const auto nul = payload.find('\0'); nul != std::string_view::npos) {
        return reader_error(payload, nul, "syntax error - unexpected NUL byte");
    }
    return builder.take();
}

}  // namespace corvanelle
