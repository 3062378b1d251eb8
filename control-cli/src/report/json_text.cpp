#include "report/json_text.hpp"

#include "report/number_text.hpp"
#include "shared/document.hpp"
#include "shared/failure_texts.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>

namespace corvanelle {
namespace {

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

// A line feed and the blanks of 128 levels, one more than a reply may nest (the reader's
// kMaxNesting), with room behind them for the whole blocks in which newline() copies them;
// deeper documents, built by hand, take their further blanks one run at a time.
constexpr std::size_t kPreparedLevels = 128;
constexpr std::size_t kBlock = 16;
constexpr std::size_t kRunLength = 1 + 2 * kPreparedLevels + kBlock;
// The most a member takes before its value on the way that checks for room once: a comma,
// the prepared line and a block more, a short key between quotation marks with a block more,
// and ": ".
constexpr std::size_t kMemberHeadRoom = 1 + kRunLength + 2 + 2 * kBlock + 2;
constexpr std::array<char, kRunLength> kLineAndBlanks = [] {
    std::array<char, kRunLength> run{};
    for (char& byte : run) {
        byte = ' ';
    }
    run[0] = '\n';
    return run;
}();

// The writers fill the output buffer through a cursor held in local variables and handed from
// step to step, rather than through TextOut's own members: every byte written through a char
// pointer could alias those, which would make each step reload and store them again. Two
// pointers, so that it travels in registers.
struct Cursor {
    char* at;
    char* limit;  // the end of the room at hand
};

template <bool Indented>
class Writer {
  public:
    explicit Writer(TextOut& out) : out_(out) {}

    void write(Document::Value root) { out_.commit(value(root, 0, cursor(0)).at); }

  private:
    // A cursor with room for at least `n` bytes at its start.
    Cursor cursor(std::size_t n) {
        char* at = out_.room(n);
        drain_ = out_.drain_point();
        return {at, out_.room_end()};
    }
    Cursor ensure(Cursor c, std::size_t n) {
        if (static_cast<std::size_t>(c.limit - c.at) >= n) {
            return c;
        }
        out_.commit(c.at);
        return cursor(n);
    }
    // Between values: a full buffer goes to the descriptor.
    Cursor checkpoint(Cursor c) {
        if (c.at < drain_) {
            return c;
        }
        out_.commit(c.at);
        out_.checkpoint();
        return cursor(0);
    }
    static Cursor copy(Cursor c, std::string_view bytes) {
        std::memcpy(c.at, bytes.data(), bytes.size());
        c.at += bytes.size();
        return c;
    }
    Cursor put(Cursor c, std::string_view bytes) { return copy(ensure(c, bytes.size()), bytes); }
    // A text of a document, of which `readable` bytes may be read from its start: a short one
    // is copied in two whole blocks (the cursor has room for them), not byte for byte.
    static Cursor copy_text(Cursor c, std::string_view bytes, std::size_t readable) {
        if (bytes.size() <= 2 * kBlock && readable >= 2 * kBlock) {
            std::memcpy(c.at, bytes.data(), kBlock);
            std::memcpy(c.at + kBlock, bytes.data() + kBlock, kBlock);
            c.at += bytes.size();
            return c;
        }
        return copy(c, bytes);
    }

    // A string or key between quotation marks: bytes that need no escape are copied in one
    // piece; long ones (an image) go to the descriptor straight from where they were received.
    Cursor string(Cursor c, Document::Value text) {
        const std::string_view bytes = text.text();
        if (text.needs_no_escape() && bytes.size() < TextOut::kChunk) {
            c = ensure(c, bytes.size() + 2 + 2 * kBlock);
            *c.at++ = '"';
            c = copy_text(c, bytes, text.readable());
            *c.at++ = '"';
            return c;
        }
        out_.commit(c.at);
        if (text.needs_no_escape()) {
            out_.put('"');
            out_.put(bytes);
            out_.put('"');
        } else {
            append_string(bytes, out_);
        }
        return cursor(0);
    }

    Cursor number(Cursor c, Document::Value v) {
        // A number read in the very form it is written in is copied as it stands; any other
        // is written by the numbers' own routes (report/number_text).
        if (const std::string_view text = v.number_text();
            !text.empty() && v.number_text_as_written()) {
            return copy_text(ensure(c, text.size() + 2 * kBlock), text, v.readable());
        }
        c = ensure(c, kNumberRoom);
        c.at = number_chars(v, c.at);
        return c;
    }

    // A value other than an array or an object.
    Cursor scalar(Document::Value v, Cursor c) {
        switch (v.kind()) {
            case Document::Kind::null:
                return put(c, "null");
            case Document::Kind::boolean:
                return put(c, v.boolean() ? std::string_view("true") : std::string_view("false"));
            case Document::Kind::string:
                return string(c, v);
            default:
                return number(c, v);
        }
    }

    // Any value; arrays and objects take one call each, their other elements none.
    Cursor value(Document::Value v, int depth, Cursor c) {
        const auto element = [&](Document::Value item, Cursor at) {
            return item.kind() >= Document::Kind::array ? value(item, depth + 1, at)
                                                        : scalar(item, at);
        };
        switch (v.kind()) {
            case Document::Kind::array:
                if (v.size() == 0) {
                    return put(c, "[]");
                }
                c = put(c, "[");
                v.for_each_element([&, first = true](Document::Value item) mutable {
                    c = separator(c, first, depth + 1);
                    c = element(item, c);
                });
                return close(c, ']', depth);
            case Document::Kind::object:
                if (v.size() == 0) {
                    return put(c, "{}");
                }
                c = put(c, "{");
                v.for_each_member(
                    [&, first = true](Document::Value key, Document::Value item) mutable {
                        c = member_head(c, first, depth + 1, key);
                        c = element(item, c);
                    });
                return close(c, '}', depth);
            default:
                return scalar(v, c);
        }
    }

    Cursor separator(Cursor c, bool& first, int depth) {
        c = checkpoint(c);
        if (!first) {
            c = put(c, ",");
        }
        first = false;
        return Indented ? newline(c, depth) : c;
    }

    // What stands before a member's value: the separator, the new line, the key and the
    // colon; for a key that needs no escape and is short, at a depth within the prepared run,
    // all of it after one check of room.
    Cursor member_head(Cursor c, bool& first, int depth, Document::Value key) {
        const std::string_view bytes = key.text();
        const auto levels = static_cast<std::size_t>(depth);
        if (!key.needs_no_escape() || bytes.size() > 2 * kBlock || key.readable() < 2 * kBlock ||
            levels > kPreparedLevels) {
            c = separator(c, first, depth);
            c = string(c, key);
            return put(c, Indented ? std::string_view(": ") : std::string_view(":"));
        }
        c = ensure(checkpoint(c), kMemberHeadRoom);
        if (!first) {
            *c.at++ = ',';
        }
        first = false;
        if (Indented) {
            c = prepared_line(c, levels);
        }
        *c.at++ = '"';
        c = copy_text(c, bytes, key.readable());
        *c.at++ = '"';
        *c.at++ = ':';
        if (Indented) {
            *c.at++ = ' ';
        }
        return c;
    }

    Cursor close(Cursor c, char bracket, int depth) {
        if (Indented) {
            c = newline(c, depth);
        }
        return put(c, std::string_view(&bracket, 1));
    }

    // A line feed and two blanks a level, copied from the prepared run in whole blocks (the
    // last one may reach past the end; what it writes there is overwritten next).
    Cursor newline(Cursor c, int depth) {
        const auto levels = static_cast<std::size_t>(depth);
        const std::size_t prepared = std::min(levels, kPreparedLevels);
        const std::size_t length = 1 + 2 * prepared;
        const std::size_t beyond = 2 * (levels - prepared);
        c = prepared_line(ensure(c, length + kBlock + beyond), prepared);
        if (beyond > 0) {
            // Only documents built by hand are deeper.
            std::memset(c.at, ' ', beyond);
            c.at += beyond;
        }
        return c;
    }

    // The line feed and blanks of up to kPreparedLevels levels, where there is room for them
    // and a block more.
    static Cursor prepared_line(Cursor c, std::size_t levels) {
        const std::size_t length = 1 + 2 * levels;
        for (std::size_t i = 0; i < length; i += kBlock) {
            std::memcpy(c.at + i, kLineAndBlanks.data() + i, kBlock);
        }
        c.at += length;
        return c;
    }

    TextOut& out_;
    char* drain_ = nullptr;  // where a full buffer is handed to the descriptor
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

void write_compact(const Document& value, TextOut& out) {
    Writer<false>(out).write(value.root());
}

void write_indented(const Document& value, TextOut& out) {
    Writer<true>(out).write(value.root());
}

std::string to_compact(const Document& value) {
    TextOut out;
    write_compact(value, out);
    return std::string(out.view());
}

std::string to_compact(Document::Value value) {
    TextOut out;
    Writer<false>(out).write(value);
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
