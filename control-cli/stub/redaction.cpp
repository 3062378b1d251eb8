#include "redaction.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "report/json_text.hpp"
#include "report/output.hpp"
#include "shared/utf8.hpp"

namespace corvanelle::stub {
namespace {

constexpr std::size_t kNowhere = std::string_view::npos;
constexpr std::string_view kEscapedNul = "\\u0000";
constexpr std::string_view kMarkWord = "redacted:";

Unexpected not_json() {
    return fail(std::string("it is not JSON"));
}

// The place-holders' common start with its escapes undone, which no frame may hold already.
std::string read_mark() {
    return std::string(1, '\0') + std::string(kMarkWord);
}

// The characters of a UTF-8 text: its bytes that do not continue a character.
std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

// The search's fallback table: for each length of a matched start, the longest proper start
// of the needle that also ends it.
std::vector<std::size_t> fallback_of(std::string_view needle) {
    std::vector<std::size_t> table(needle.size() + 1, 0);
    std::size_t k = 0;
    for (std::size_t i = 1; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k]) {
            k = table[k];
        }
        k += needle[i] == needle[k] ? 1U : 0U;
        table[i + 1] = k;
    }
    return table;
}

// Where the string that opens at `open` closes; kNowhere when the text ends first.
std::size_t string_end(std::string_view json, std::size_t open) {
    for (std::size_t at = open + 1; at < json.size(); ++at) {
        if (json[at] == '\\') {
            ++at;
        } else if (json[at] == '"') {
            return at;
        }
    }
    return kNowhere;
}

// One character of a string as it stands (a raw byte, or an escape) and the bytes it reads as.
struct Unit {
    std::size_t end = 0;
    std::array<char, 4> bytes{};
    std::size_t size = 0;
};

std::optional<unsigned> hex4(std::string_view json, std::size_t at) {
    if (at + 4 > json.size()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = json[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

void encode(unsigned code, Unit& unit) {
    const auto byte = [&unit](unsigned b) { unit.bytes[unit.size++] = static_cast<char>(b); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6)), byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12)), byte(0x80 | ((code >> 6) & 0x3F)), byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18)), byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F)), byte(0x80 | (code & 0x3F));
    }
}

// The \u escape at `at` (its backslash), a surrogate pair read as one character.
std::optional<Unit> unicode_escape(std::string_view json, std::size_t at) {
    const auto first = hex4(json, at + 2);
    if (!first || (*first >= 0xDC00 && *first <= 0xDFFF)) {
        return std::nullopt;
    }
    Unit unit;
    unit.end = at + 6;
    unsigned code = *first;
    if (code >= 0xD800 && code <= 0xDBFF) {
        const bool escape = json.substr(unit.end, 2) == "\\u";
        const auto second = escape ? hex4(json, unit.end + 2) : std::nullopt;
        if (!second || *second < 0xDC00 || *second > 0xDFFF) {
            return std::nullopt;
        }
        code = 0x10000 + ((code - 0xD800) << 10) + (*second - 0xDC00);
        unit.end += 6;
    }
    encode(code, unit);
    return unit;
}

std::optional<Unit> unit_at(std::string_view json, std::size_t at) {
    Unit unit;
    if (json[at] != '\\') {
        unit.end = at + 1;
        unit.bytes[unit.size++] = json[at];
        return unit;
    }
    if (at + 1 >= json.size()) {
        return std::nullopt;
    }
    constexpr std::string_view kEscaped = "\"\\/bfnrt";
    constexpr std::string_view kMeans = "\"\\/\b\f\n\r\t";
    const auto which = kEscaped.find(json[at + 1]);
    if (which != kNowhere) {
        unit.end = at + 2;
        unit.bytes[unit.size++] = kMeans[which];
        return unit;
    }
    return json[at + 1] == 'u' ? unicode_escape(json, at) : std::nullopt;
}

// The search for one needle in the bytes a string reads as, keeping where each of the last
// bytes stood in the frame, so that an occurrence is known by the bytes it stands in.
class Finder {
  public:
    Finder(std::string_view needle, const std::vector<std::size_t>& fallback)
        : needle_(needle), fallback_(fallback), starts_(needle.size()) {}
    void reset() { matched_ = 0; }
    // One more byte, read from the character that stands at `start`: whether an
    // occurrence ends with it (start() then says where it began).
    bool feed(char byte, std::size_t start) {
        starts_[count_++ % starts_.size()] = start;
        while (matched_ > 0 && needle_[matched_] != byte) {
            matched_ = fallback_[matched_];
        }
        matched_ += needle_[matched_] == byte ? 1U : 0U;
        return matched_ == needle_.size();
    }
    [[nodiscard]] std::size_t start() const {
        return starts_[(count_ - needle_.size()) % starts_.size()];
    }

  private:
    std::string_view needle_;
    const std::vector<std::size_t>& fallback_;
    std::vector<std::size_t> starts_;
    std::size_t count_ = 0;
    std::size_t matched_ = 0;
};

// Whether the string that closes at `close` is an object's key.
bool is_key(std::string_view json, std::size_t close) {
    std::size_t at = close + 1;
    while (at < json.size() &&
           (json[at] == ' ' || json[at] == '\t' || json[at] == '\n' || json[at] == '\r')) {
        ++at;
    }
    return at < json.size() && json[at] == ':';
}

// Where an occurrence stands: its first byte, the byte after it, and whether in a key.
struct Occurrence {
    std::size_t start;
    std::size_t end;
    bool in_key;
};

// Calls `found` with each occurrence of `needle` in the strings of `json`, from the first,
// none overlapping another, until it fails. Fails itself when the needle stands outside the
// strings (a needle that holds a NUL never does), or the strings are not JSON's.
template <typename Found>
Status for_each_occurrence(std::string_view json, std::string_view needle,
                           const std::vector<std::size_t>& fallback, const std::string& outside,
                           Found found) {
    Finder finder(needle, fallback);
    std::size_t from = 0;  // where the text outside the strings began
    for (std::size_t at = 0; at <= json.size(); ++at) {
        if (at < json.size() && json[at] != '"') {
            continue;
        }
        if (json.substr(from, at - from).find(needle) != kNowhere) {
            return fail(outside);
        }
        const std::size_t close = at < json.size() ? string_end(json, at) : json.size();
        if (close == kNowhere) {
            return not_json();
        }
        const bool key = is_key(json, close);
        finder.reset();
        for (std::size_t p = at + 1; p < close;) {
            const auto unit = unit_at(json, p);
            if (!unit) {
                return not_json();
            }
            for (std::size_t i = 0; i < unit->size; ++i) {
                if (!finder.feed(unit->bytes[i], p)) {
                    continue;
                }
                if (auto taken = found(Occurrence{finder.start(), unit->end, key}); !taken) {
                    return taken;
                }
                finder.reset();
            }
            p = unit->end;
        }
        at = close;
        from = close + 1;
    }
    return {};
}

Unexpected too_long(std::size_t limit) {
    return fail("it would be longer than " + std::to_string(limit) + " bytes");
}

// `text` with each occurrence of `needle` replaced by `by`, from the first, none overlapping.
std::string replaced(std::string_view text, std::string_view needle, std::string_view by) {
    std::string out;
    std::size_t copied = 0;
    for (auto at = text.find(needle); at != kNowhere; at = text.find(needle, copied)) {
        out.append(text.substr(copied, at - copied)).append(by);
        copied = at + needle.size();
    }
    return copied == 0 ? std::string(text) : out.append(text.substr(copied));
}

Status check(const Secret& secret, bool need_values) {
    const std::string head = "--redact " + secret.name + ": ";
    if (!is_variable_name(secret.name)) {
        return fail(
            "--redact takes the name of an environment variable (letters, digits and "
            "underscores, not starting with a digit), not '" +
            secret.name + "'");
    }
    if (!secret.value) {
        return need_values ? fail(head + "the variable " + secret.name + " is not set") : Status();
    }
    if (secret.value->empty()) {
        return fail(head + "the variable " + secret.name + " is empty");
    }
    if (!is_valid_utf8(*secret.value)) {
        return fail(head + "its value is not valid UTF-8, so no JSON text can hold it");
    }
    if (characters(*secret.value) < kShortestSecret) {
        return fail(head + "its value has fewer than " + std::to_string(kShortestSecret) +
                    " characters, too few for a secret");
    }
    return {};
}

// The text being made and the one before it, and a copy of the result; each occurrence grows
// the text by `longest` at most.
std::size_t held_for(std::size_t size, std::size_t occurrences, std::size_t longest,
                     std::size_t limit) {
    if (occurrences == 0) {
        return 0;
    }
    return 3 * (std::min(size + occurrences * longest, limit) + longest);
}

}  // namespace

std::string placeholder(std::string_view name) {
    return std::string(kEscapedNul) + std::string(kMarkWord) + std::string(name) +
           std::string(kEscapedNul);
}

bool is_variable_name(std::string_view name) {
    const auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    return !name.empty() && letter(name[0]) && std::all_of(name.begin(), name.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9');
    });
}

Result<Redaction> Redaction::make(std::vector<Secret> secrets, bool need_values) {
    Redaction redaction;
    for (Secret& secret : secrets) {
        if (auto checked = check(secret, need_values); !checked) {
            return forward_failure(checked);
        }
        if (std::any_of(redaction.secrets_.begin(), redaction.secrets_.end(),
                        [&](const Kept& kept) { return kept.name == secret.name; })) {
            continue;
        }
        Kept kept;
        kept.name = std::move(secret.name);
        kept.placeholder = placeholder(kept.name);
        kept.read = read_mark() + kept.name + std::string(1, '\0');
        if (secret.value) {
            TextOut out;
            append_string(*secret.value, out);
            kept.spelled = std::string(out.view().substr(1, out.view().size() - 2));
            kept.fallback = fallback_of(*secret.value);
        }
        kept.value = std::move(secret.value);
        redaction.secrets_.push_back(std::move(kept));
    }
    // A value that stands in a placeholder would be found in what an earlier one replaced.
    for (const Kept& a : redaction.secrets_) {
        const auto inside = std::find_if(
            redaction.secrets_.begin(), redaction.secrets_.end(),
            [&](const Kept& b) { return b.value && a.read.find(*b.value) != kNowhere; });
        if (inside != redaction.secrets_.end()) {
            return fail("--redact " + inside->name + ": its value stands in the placeholder of " +
                        a.name);
        }
    }
    std::stable_sort(redaction.secrets_.begin(), redaction.secrets_.end(),
                     [](const Kept& a, const Kept& b) {
                         return (a.value ? a.value->size() : 0) > (b.value ? b.value->size() : 0);
                     });
    return redaction;
}

Result<Redaction> Redaction::from_environment(const std::vector<std::string>& names,
                                              bool need_values) {
    std::vector<Secret> secrets;
    for (const std::string& name : names) {
        const char* value = std::getenv(name.c_str());
        secrets.push_back(
            {name, value == nullptr ? std::nullopt : std::optional<std::string>(value)});
    }
    return make(std::move(secrets), need_values);
}

std::size_t Redaction::redacting_cost(std::string_view json, std::size_t limit) const {
    std::size_t occurrences = 0;
    std::size_t longest = 0;
    for (const Kept& kept : secrets_) {
        if (kept.value) {
            longest = std::max(longest, kept.placeholder.size());
            // Counted up to where a failure would stop redact() too.
            (void)for_each_occurrence(json, *kept.value, kept.fallback, {},
                                      [&](const Occurrence&) { return ++occurrences, Status(); });
        }
    }
    return held_for(json.size(), occurrences, longest, limit);
}

std::size_t Redaction::restoring_cost(std::string_view json, std::size_t limit) const {
    std::size_t occurrences = 0;
    std::size_t longest = 0;
    for (const Kept& kept : secrets_) {
        if (!kept.value) {
            continue;
        }
        longest = std::max(longest, kept.spelled.size());
        for (auto at = json.find(kept.placeholder); at != kNowhere;
             at = json.find(kept.placeholder, at + 1)) {
            ++occurrences;
        }
    }
    return held_for(json.size(), occurrences, longest, limit);
}

std::vector<std::string> Redaction::unset() const {
    std::vector<std::string> names;
    for (const Kept& kept : secrets_) {
        if (!kept.value) {
            names.push_back(kept.name);
        }
    }
    return names;
}

Result<std::optional<std::string>> Redaction::redact(std::string_view json,
                                                     std::size_t limit) const {
    // A NUL has one spelling in JSON (no raw control bytes), so only a text that holds it
    // can hold a placeholder's text.
    if (json.find(kEscapedNul) != kNowhere) {
        const std::string mark = read_mark();
        auto clean = for_each_occurrence(json, mark, fallback_of(mark), {}, [](const Occurrence&) {
            return Status(fail(std::string("it already holds the text of a placeholder")));
        });
        if (!clean) {
            return forward_failure(clean);
        }
    }
    std::optional<std::string> out;
    for (const Kept& kept : secrets_) {
        if (!kept.value) {
            continue;
        }
        const std::string_view text = out ? std::string_view(*out) : json;
        std::string next;
        std::size_t copied = 0;
        auto replacing = for_each_occurrence(
            text, *kept.value, kept.fallback,
            "the value of " + kept.name + " stands outside the strings",
            [&](const Occurrence& o) -> Status {
                if (o.in_key) {
                    return fail("the value of " + kept.name + " stands in a key");
                }
                next.append(text.substr(copied, o.start - copied)).append(kept.placeholder);
                copied = o.end;
                return next.size() > limit ? Status(too_long(limit)) : Status();
            });
        if (!replacing) {
            return forward_failure(replacing);
        }
        if (copied > 0) {
            next.append(text.substr(copied));
            out = std::move(next);
        }
    }
    if (out && out->size() > limit) {
        return too_long(limit);
    }
    return out;
}

std::string Redaction::redact_text(std::string_view text) const {
    std::string out(text);
    for (const Kept& kept : secrets_) {
        if (kept.value && out.find(*kept.value) != kNowhere) {
            out = replaced(out, *kept.value, kept.read);
        }
    }
    return out;
}

Result<std::optional<std::string>> Redaction::restore(std::string_view json,
                                                      std::size_t limit) const {
    std::optional<std::string> out;
    if (unset().size() == secrets_.size()) {
        return out;  // no value to put back
    }
    std::size_t copied = 0;
    for (std::size_t at = json.find('"'); at != kNowhere; at = json.find('"', at + 1)) {
        const std::size_t close = string_end(json, at);
        if (close == kNowhere) {
            return not_json();
        }
        for (std::size_t p = at + 1; p < close;) {
            const auto unit = unit_at(json, p);
            if (!unit) {
                return not_json();
            }
            const bool nul = unit->size == 1 && unit->bytes[0] == '\0';
            const auto kept = std::find_if(secrets_.begin(), secrets_.end(), [&](const Kept& k) {
                return nul && k.value && json.substr(p, k.placeholder.size()) == k.placeholder;
            });
            if (kept == secrets_.end()) {
                p = unit->end;
                continue;
            }
            if (!out) {
                out.emplace();
            }
            out->append(json.substr(copied, p - copied)).append(kept->spelled);
            copied = p = p + kept->placeholder.size();
            if (out->size() > limit) {
                return too_long(limit);
            }
        }
        at = close;
    }
    if (out) {
        out->append(json.substr(copied));
        if (out->size() > limit) {
            return too_long(limit);
        }
    }
    return out;
}

}  // namespace corvanelle::stub
