// The one place that knows the JSON library: Boost.JSON's event parser, through its documented
// basic_parser interface only, feeding our own document builder.
#include "exchange/reader.hpp"
#include "report/number_text.hpp"
#include "shared/decimal.hpp"
#include "shared/failure_texts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

// Header-only: the out-of-line parts the event parser needs (its error codes, its stack and
// that stack's memory resources) are compiled here, in this one translation unit, and nothing
// else of the library, so that none of its other parts (streams among them) reaches the
// program.
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/detail/impl/default_resource.ipp>
#include <boost/json/detail/impl/shared_resource.ipp>
#include <boost/json/detail/impl/stack.ipp>
#include <boost/json/impl/error.ipp>

namespace corvanelle {
namespace {

namespace json = boost::json;

enum class Refusal { none, too_large };

// Turns the parser's events into a Document, and reads every double from its own text, so
// that each is the exact nearest double whatever the library's own conversion gives.
class Handler {
  public:
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

    Handler(const char* base, std::size_t size) : base_(base), size_(size), builder_(size) {
        builder_.use_source(base, size);
    }

    bool on_document_begin(json::error_code& /*ec*/) { return true; }
    bool on_document_end(json::error_code& /*ec*/) { return true; }

    bool on_array_begin(json::error_code& /*ec*/) {
        builder_.start_array();
        return true;
    }
    bool on_array_end(std::size_t /*n*/, json::error_code& /*ec*/) {
        builder_.end();
        return true;
    }
    bool on_object_begin(json::error_code& /*ec*/) {
        builder_.start_object();
        return true;
    }
    bool on_object_end(std::size_t /*n*/, json::error_code& /*ec*/) {
        builder_.end();
        return true;
    }

    bool on_string_part(json::string_view s, std::size_t /*n*/, json::error_code& /*ec*/) {
        builder_.string_part({s.data(), s.size()});
        return true;
    }
    bool on_string(json::string_view s, std::size_t /*n*/, json::error_code& /*ec*/) {
        if (in_source(s)) {
            builder_.source_string(offset_of(s), s.size());
        } else {
            builder_.string({s.data(), s.size()});
        }
        return true;
    }
    bool on_key_part(json::string_view s, std::size_t n, json::error_code& ec) {
        return on_string_part(s, n, ec);
    }
    bool on_key(json::string_view s, std::size_t /*n*/, json::error_code& /*ec*/) {
        if (in_source(s)) {
            builder_.source_key(offset_of(s), s.size());
        } else {
            builder_.key({s.data(), s.size()});
        }
        return true;
    }

    bool on_number_part(json::string_view s, json::error_code& /*ec*/) {
        if (number_.empty() && in_source(s)) {
            number_start_ = offset_of(s);
        }
        number_.append(s.data(), s.size());
        return true;
    }
    // Every integer that fits 64 bits signed comes here, whatever its sign: the text tells a
    // non-negative one (unsigned) from a negative one, and "-0" (a double) from "0".
    bool on_int64(std::int64_t i, json::string_view s, json::error_code& /*ec*/) {
        const bool minus = number_.empty() ? (!s.empty() && s.front() == '-') : number_[0] == '-';
        // An integer's JSON text is the writers' own form of it, all but "-0" (a double).
        if (number_.empty() && in_source(s) && (!minus || i != 0)) {
            builder_.source_number(
                minus ? Document::Kind::signed_integer : Document::Kind::unsigned_integer,
                offset_of(s), s.size());
            return true;
        }
        number_.clear();
        if (!minus) {
            builder_.unsigned_integer(static_cast<std::uint64_t>(i));
        } else if (i == 0) {
            builder_.floating(-0.0);
        } else {
            builder_.signed_integer(i);
        }
        return true;
    }
    bool on_uint64(std::uint64_t u, json::string_view s, json::error_code& /*ec*/) {
        if (number_.empty() && in_source(s)) {
            builder_.source_number(Document::Kind::unsigned_integer, offset_of(s), s.size());
            return true;
        }
        number_.clear();
        builder_.unsigned_integer(u);
        return true;
    }
    // The library's own conversion is quick but not always the nearest double: it serves only
    // as a candidate that number_form proves or refuses.
    bool on_double(double quick, json::string_view s, json::error_code& ec) {
        std::optional<double> value;
        std::size_t start = 0;
        if (number_.empty()) {
            // A text that tells what the writers write for its value needs no conversion.
            if (in_source(s)) {
                const NumberForm form =
                    number_form({s.data(), s.size()}, size_ - offset_of(s), quick);
                if (form != NumberForm::value) {
                    builder_.source_number(Document::Kind::floating, offset_of(s), s.size(),
                                           form == NumberForm::as_read);
                    return true;
                }
            }
            start = in_source(s) ? offset_of(s) : 0;
            value = exact_double({s.data(), s.size()});
        } else {
            start = number_start_;
            number_.append(s.data(), s.size());
            value = exact_double(number_);
            number_.clear();
        }
        if (!value) {
            refusal_ = Refusal::too_large;
            refused_at_ = start;
            ec = json::error::exception;
            return false;
        }
        builder_.floating(*value);
        return true;
    }
    bool on_bool(bool b, json::error_code& /*ec*/) {
        builder_.boolean(b);
        return true;
    }
    bool on_null(json::error_code& /*ec*/) {
        builder_.null();
        return true;
    }
    // Comments are not JSON; the parser is told so and never reports one.
    bool on_comment_part(json::string_view /*s*/, json::error_code& /*ec*/) { return false; }
    bool on_comment(json::string_view /*s*/, json::error_code& /*ec*/) { return false; }

    [[nodiscard]] Refusal refusal() const { return refusal_; }
    [[nodiscard]] std::size_t refused_at() const { return refused_at_; }
    DocumentBuilder& builder() { return builder_; }

  private:
    [[nodiscard]] bool in_source(json::string_view s) const {
        const std::less<> before;
        return !before(s.data(), base_) && !before(base_ + size_, s.data() + s.size());
    }
    [[nodiscard]] std::size_t offset_of(json::string_view s) const {
        return static_cast<std::size_t>(s.data() - base_);
    }

    const char* base_;
    std::size_t size_;
    DocumentBuilder builder_;
    std::string number_;
    std::size_t number_start_ = 0;
    Refusal refusal_ = Refusal::none;
    std::size_t refused_at_ = 0;
};

// Our own descriptions, so that no library wording and no reply byte reaches a message.
std::string describe(const json::error_code& ec) {
    if (ec == json::error::extra_data) {
        return "syntax error: unexpected text after the value";
    }
    if (ec == json::error::incomplete) {
        return "syntax error: the reply ends inside a value";
    }
    if (ec == json::error::exponent_overflow) {
        return "number too large for a double";
    }
    if (ec == json::error::too_deep) {
        return "nesting deeper than " + std::to_string(kMaxNesting) + " levels";
    }
    if (ec == json::error::illegal_leading_surrogate ||
        ec == json::error::illegal_trailing_surrogate || ec == json::error::expected_utf16_escape) {
        return "syntax error: a \\u escape with an unpaired surrogate";
    }
    if (ec == json::error::expected_hex_digit) {
        return "syntax error: a \\u escape needs four hexadecimal digits";
    }
    return "syntax error";
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

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_number_byte(char c) {
    return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

std::size_t skip_digits(std::string_view text, std::size_t i) {
    while (i < text.size() && is_digit(text[i])) {
        ++i;
    }
    return i;
}

struct NumberText {
    std::size_t end = 0;              // one past its last byte
    std::size_t exponent_digits = 0;  // the exponent's digits after its leading zeros
};

// The JSON number at the start of `text`, by the grammar
// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?, read as far as it goes, the way the
// parser reads one; nothing when the text does not start with one.
std::optional<NumberText> leading_number(std::string_view text) {
    std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    if (i == text.size() || !is_digit(text[i])) {
        return std::nullopt;
    }
    i = text[i] == '0' ? i + 1 : skip_digits(text, i);
    if (i < text.size() && text[i] == '.') {
        const std::size_t end = skip_digits(text, i + 1);
        if (end == i + 1) {
            return std::nullopt;
        }
        i = end;
    }
    NumberText number;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t start = i + 1;
        if (start < text.size() && (text[start] == '+' || text[start] == '-')) {
            ++start;
        }
        const std::size_t end = skip_digits(text, start);
        if (end == start) {
            return std::nullopt;
        }
        const std::size_t significant = text.find_first_not_of('0', start);
        number.exponent_digits = end - std::min(significant, end);
        i = end;
    }
    number.end = i;
    return number;
}

// The library refuses any exponent beyond 31 bits, even where the value is plainly zero
// (0e99999999999, 1e-99999999999). Such a number is rewritten in place as 0.0 or -0.0, padded
// with blanks to its length, so that every later position stays where it was. Only the number
// that begins a run of number bytes is rewritten, and only the bytes the parser would read as
// that one number, converted in full to exactly zero: whatever follows it in the run is left
// for the parser to refuse at its first byte, as it would after any other number. A number
// too large in magnitude is left alone, for the parser to refuse. Returns what it rewrote,
// so that the text can be given back as it arrived once it is parsed.
struct Rewritten {
    std::size_t at;
    std::string original;
};
std::vector<Rewritten> zero_out_vanishing_numbers(char* text, std::size_t size) {
    std::vector<Rewritten> rewritten;
    bool in_string = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
            continue;
        }
        if (!is_number_byte(c)) {
            continue;
        }
        std::size_t run_end = i;
        while (run_end < size && is_number_byte(text[run_end])) {
            ++run_end;
        }
        const auto number = leading_number({text + i, run_end - i});
        if (number && number->exponent_digits >= 10) {
            const auto value = exact_double({text + i, number->end});
            if (value && *value == 0.0) {
                const std::string_view zero = std::signbit(*value) ? "-0.0" : "0.0";
                rewritten.push_back({i, std::string(text + i, number->end)});
                std::fill(text + i, text + i + number->end, ' ');
                std::copy(zero.begin(), zero.end(), text + i);
            }
        }
        i = run_end - 1;
    }
    return rewritten;
}

struct Parsed {
    json::error_code ec;
    std::size_t stopped_at = 0;
    Refusal refusal = Refusal::none;
    std::size_t refused_at = 0;
};

// On success the document takes the payload with it, since its strings may point into it.
Parsed parse_into(OwnedText& payload, std::optional<Document>& document) {
    json::parse_options options;
    options.max_depth = kMaxNesting;
    json::basic_parser<Handler> parser(options, payload.data.get(), payload.size);
    Parsed parsed;
    parsed.stopped_at = parser.write_some(false, payload.data.get(), payload.size, parsed.ec);
    // The parser stops after the value and the white space behind it; anything more is not
    // one JSON text.
    if (!parsed.ec && parsed.stopped_at != payload.size) {
        parsed.ec = json::error::extra_data;
    }
    parsed.refusal = parser.handler().refusal();
    parsed.refused_at = parser.handler().refused_at();
    if (!parsed.ec) {
        parser.handler().builder().adopt_source(std::move(payload));
        document = parser.handler().builder().take();
    }
    return parsed;
}

}  // namespace

Result<Document> read_json_text(OwnedText payload) {
    const std::string_view text = payload.view();
    // A byte-order mark is not white space, and not JSON.
    if (text.starts_with("\xEF\xBB\xBF")) {
        return reader_error(text, 0, "syntax error: a byte-order mark before the value");
    }
    try {
        std::optional<Document> document;
        char* const bytes = payload.data.get();  // the document may own them after parsing
        Parsed parsed = parse_into(payload, document);
        if (parsed.ec == json::error::exponent_overflow) {
            const auto rewritten = zero_out_vanishing_numbers(payload.data.get(), payload.size);
            if (!rewritten.empty()) {
                parsed = parse_into(payload, document);
                // The text goes back to what arrived, for whoever reads it after the document
                // (the stand-in host logs a request from it). No value points into a number.
                for (const Rewritten& number : rewritten) {
                    std::copy(number.original.begin(), number.original.end(), bytes + number.at);
                }
            }
        }
        if (parsed.refusal == Refusal::too_large) {
            return reader_error(text, parsed.refused_at, "number too large for a double");
        }
        if (parsed.ec == json::error::exponent_overflow) {
            // Reported, like every number too large, where the number starts.
            std::size_t start = std::min(parsed.stopped_at, text.size());
            while (start > 0 && is_number_byte(text[start - 1])) {
                --start;
            }
            return reader_error(text, start, describe(parsed.ec));
        }
        if (parsed.ec) {
            return reader_error(text, parsed.stopped_at, describe(parsed.ec));
        }
        return std::move(*document);
    } catch (const std::bad_alloc&) {
        return fail(texts::kReplyOutOfMemory);
    }
}

Result<Document> read_json_text(std::string_view payload) {
    return read_json_text(OwnedText::copy_of(payload));
}

}  // namespace corvanelle
