#include "recording.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>

#include "exchange/reader.hpp"
#include "shared/utf8.hpp"

namespace corvanelle::stub {
namespace {

constexpr std::string_view kSuffix = ".json";
constexpr std::string_view kTemporaryMark = ".tmp";

struct CloseListing {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t after_blanks(std::string_view text, std::size_t at) {
    while (at < text.size() && is_blank(text[at])) {
        ++at;
    }
    return at;
}

constexpr std::size_t kNowhere = std::string_view::npos;

// Where the value that starts at `at` ends, by its strings and brackets alone (the reader
// judges the value afterwards); kNowhere when the text ends first.
std::size_t value_end(std::string_view text, std::size_t at) {
    std::size_t depth = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            for (++at; at < text.size() && text[at] != '"'; ++at) {
                if (text[at] == '\\') {
                    ++at;  // the escaped character, which may be a quotation mark
                }
            }
            if (at >= text.size()) {
                return kNowhere;
            }
            if (depth == 0) {
                return at + 1;
            }
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (depth == 0) {
                return at;  // the bracket around a bare value, which ends it
            }
            if (--depth == 0) {
                return at + 1;
            }
        } else if (depth == 0 && (c == ',' || c == ':' || is_blank(c))) {
            return at;
        }
    }
    return depth == 0 ? at : kNowhere;
}

Unexpected malformed(std::size_t at) {
    return fail("it is not one JSON object of members (at byte " + std::to_string(at) + ")");
}

}  // namespace

Result<Members> members_of(std::string_view text) {
    Members members;
    std::size_t at = after_blanks(text, 0);
    if (at >= text.size() || text[at] != '{') {
        return malformed(at);
    }
    at = after_blanks(text, at + 1);
    for (bool more = at < text.size() && text[at] != '}'; more;) {
        const std::size_t key_end =
            at < text.size() && text[at] == '"' ? value_end(text, at) : kNowhere;
        const std::size_t colon = key_end == kNowhere ? kNowhere : after_blanks(text, key_end);
        const std::size_t start =
            colon < text.size() && text[colon] == ':' ? after_blanks(text, colon + 1) : kNowhere;
        const std::size_t end = start == kNowhere ? kNowhere : value_end(text, start);
        if (end == kNowhere || end == start) {
            return malformed(at);
        }
        const std::string_view name = text.substr(at, key_end - at);
        const std::string_view value = text.substr(start, end - start);
        if (auto read = read_json_text(name); !read) {
            return fail("a member's name: " + read.error().message);
        }
        if (auto read = read_json_text(value); !read) {
            return fail("its member " + std::string(utf8_prefix(name, 100)) + ": " +
                        read.error().message);
        }
        if (name.substr(1, name.size() - 2) == kRequestMember) {
            members.request = value;
        } else if (name.substr(1, name.size() - 2) == kReplyMember) {
            members.reply = value;
        }
        at = after_blanks(text, end);
        if (at >= text.size() || (text[at] != ',' && text[at] != '}')) {
            return malformed(at);
        }
        more = text[at] == ',';
        at = more ? after_blanks(text, at + 1) : at;
    }
    if (at >= text.size() || after_blanks(text, at + 1) != text.size()) {
        return malformed(at);
    }
    return members;
}

std::optional<std::uint32_t> recording_number(std::string_view name) {
    if (!name.ends_with(kSuffix)) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(0, name.size() - kSuffix.size());
    const char* end = digits.data() + digits.size();
    std::uint32_t number = 0;
    const auto [stop, error] = std::from_chars(digits.data(), end, number);
    if (digits.empty() || digits.size() > kNumberDigits || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

std::string recording_name(std::uint32_t number, std::size_t digits) {
    std::string text = std::to_string(number);
    return std::string(digits > text.size() ? digits - text.size() : 0, '0') + text +
           std::string(kSuffix);
}

std::string temporary_name(std::uint32_t number) {
    std::string name(1, '.');
    name += recording_name(number);
    name += kTemporaryMark;
    return name;
}

bool is_temporary_name(std::string_view name) {
    return name.starts_with('.') && name.ends_with(kTemporaryMark) &&
           recording_number(name.substr(1, name.size() - 1 - kTemporaryMark.size()));
}

Status for_each_name(const Descriptor& folder,
                     const std::function<Status(std::string_view)>& visit) {
    // A descriptor of its own for the listing, which the listing then owns and closes.
    Descriptor own(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, CloseListing> listing(own.is_open() ? ::fdopendir(own.get())
                                                                   : nullptr);
    if (!listing) {
        return fail(os_error_message(errno));
    }
    (void)own.release();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            return errno == 0 ? Status() : fail(os_error_message(errno));
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (auto visited = visit(name); !visited) {
            return visited;
        }
    }
}

}  // namespace corvanelle::stub
