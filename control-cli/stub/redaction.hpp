// Secrets kept out of recordings (--redact NAME): NAME is an environment variable whose value
// is a secret. The recorder writes each occurrence of a value inside a JSON string as a
// placeholder that names NAME, and the replayer puts the value back. This room is pure: it
// turns a frame's bytes into other bytes and knows nothing of connections, files or the log.
//
// An occurrence is found in whatever spelling it stands in the frame: each character of the
// string raw or escaped (\" \\ \/ \b \f \n \r \t, or \uXXXX in either letter case, a
// character beyond U+FFFF as a surrogate pair), since the strings are compared once their
// escapes are undone. The value is put back as the client's writer spells it (only ", \ and
// control characters escaped), so a frame that spelled it otherwise (\/ or \u00e9) is sent
// with other bytes that read as the same string; the client's output is the same.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/result.hpp"

namespace corvanelle::stub {

// The fewest characters a secret's value may have: a shorter one (a PIN, a word) would
// stand for too much ordinary text.
inline constexpr std::size_t kShortestSecret = 8;

// A placeholder as a recording holds it: "\u0000redacted:NAME\u0000", an escaped NUL at each
// end. No text a person types or an application shows holds a NUL, so it is never ordinary
// text; the escape has no other spelling, and the whole stands inside a JSON string as it is.
std::string placeholder(std::string_view name);

// Whether a text is a name an environment variable can have here: letters, digits and
// underscores, not starting with a digit.
bool is_variable_name(std::string_view name);

struct Secret {
    std::string name;
    std::optional<std::string> value;  // none: the variable is not set
};

class Redaction {
  public:
    Redaction() = default;  // redacts nothing

    // The secrets checked: each name a variable's, each value set (a replay may go without
    // one when `need_values` is false), of kShortestSecret characters or more, valid UTF-8,
    // and standing in no placeholder. A name given twice counts once.
    static Result<Redaction> make(std::vector<Secret> secrets, bool need_values);
    // The same with the values of the variables `names` as the environment holds them.
    static Result<Redaction> from_environment(const std::vector<std::string>& names,
                                              bool need_values);

    [[nodiscard]] bool active() const { return !secrets_.empty(); }
    // The most memory redact() holds at once for `json` and a result of at most `limit`
    // bytes, its copy included: nothing when no value stands in its strings.
    [[nodiscard]] std::size_t redacting_cost(std::string_view json, std::size_t limit) const;
    // The same for restore(): nothing when `json` holds no placeholder of a value it knows.
    [[nodiscard]] std::size_t restoring_cost(std::string_view json, std::size_t limit) const;
    // The names whose variable is not set.
    [[nodiscard]] std::vector<std::string> unset() const;

    // The JSON text with every occurrence of a value in its strings replaced by the value's
    // placeholder, the rest byte for byte; nothing when no value occurs. A failure when a
    // value stands in a key or outside the strings (a number), when the text already holds
    // a placeholder's text, or when the result would be longer than `limit` bytes.
    [[nodiscard]] Result<std::optional<std::string>> redact(std::string_view json,
                                                            std::size_t limit) const;
    // A string's text with its escapes undone, each value replaced as redact() replaces it:
    // what the same string reads as once redacted.
    [[nodiscard]] std::string redact_text(std::string_view text) const;
    // A recorded JSON text with each placeholder whose value is set replaced by the value;
    // nothing when there is none. A failure when the result would be longer than `limit`.
    [[nodiscard]] Result<std::optional<std::string>> restore(std::string_view json,
                                                             std::size_t limit) const;

  private:
    struct Kept {
        std::string name;
        std::optional<std::string> value;
        std::string placeholder;            // as written in a recording
        std::string read;                   // the placeholder's text, its escapes undone
        std::string spelled;                // the value as the client's writer spells it
        std::vector<std::size_t> fallback;  // of the value, for the search
    };

    std::vector<Kept> secrets_;  // the longest value first
};

}  // namespace corvanelle::stub
