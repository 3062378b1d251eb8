#include "report/number_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace corvanelle {
namespace {

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

// Lays out `count` significant digits (1 to 17), the first of them at the decimal exponent
// `exponent`, by the number format's rules: fixed notation for exponents from -5 to 15, exponent
// notation beyond. Returns the end.
char* lay_out(const char* digits, std::size_t count, int exponent, char* at) {
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
    std::array<char, 20> digits{};
    std::size_t count = 0;
    for (; *e != 'e'; ++e) {
        if (*e != '.') {
            digits[count++] = *e;
        }
    }
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), sci_end, exponent);
    return lay_out(digits.data(), count, exponent, at);
}

// Writes the double's text at `at` (which has kNumberRoom bytes) and returns its end.
char* double_chars(double value, char* at, bool short_route) {
    if (!std::isfinite(value)) {
        std::copy_n("null", 4, at);
        return at + 4;
    }
    if (std::signbit(value)) {
        *at++ = '-';
        value = -value;
    }
    if (value == 0.0) {
        std::copy_n("0.0", 3, at);
        return at + 3;
    }
    char* end = short_route ? short_decimal(value, at) : nullptr;
    return end != nullptr ? end : general_double(value, at);
}

void put_double(double value, TextOut& out, bool short_route) {
    out.commit(double_chars(value, out.room(kNumberRoom), short_route));
}

// GCC and Clang both offer a 128-bit integer; __extension__ keeps -Wpedantic quiet about it.
__extension__ using uint128 = unsigned __int128;

// Any decimal of at most 15 significant digits reads to a double whose shortest digits are its
// own, as long as the double is normal: a double tells apart all such decimals, so no other of
// them, shorter or not, reads back to it. No double needs more than 17.
constexpr int kAlwaysShortest = 15;
constexpr int kMostDigits = 17;
// The decimal exponents of the first significant digit for which the text alone may decide:
// every such value of at most 17 digits is a normal double, far from overflowing.
constexpr int kMostExponent = 307;

constexpr std::array<std::uint64_t, 20> kUnsignedPowersOfTen = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (auto& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

// Whether the decimal `digits` x 10^-decimals, of 16 or 17 significant digits, is the shortest
// text of the positive double `value` and `value` the double it reads as, proven exactly in
// 128-bit integers: with value = m x 2^e and everything scaled by 10^decimals x 2^(1-e),
//   the text lies within half a unit of value's last place (so value is its nearest double),
//   it lies within half a step of its own last digit (so no text of as many digits is nearer),
//   and neither neighbour of one digit fewer lies within that half unit (so no shorter text
//   reads back to value).
// A shorter text that reads back to value would put a multiple of ten steps within that half
// unit too (itself, or the power of ten between it and the text), so the two neighbours are
// the ones to try. A `value` that is not the text's nearest double (a quick conversion may be
// one unit off) is replaced once by its neighbour on the text's side, which is proven in turn.
// Only where the figures fit: value normal, not a power of two (whose lower neighbour is
// nearer) and below 2^53. Anything else is left to the general route.
bool shortest_text(std::uint64_t digits, std::size_t decimals, double value) {
    constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
    if (decimals > 21) {
        return false;
    }
    uint128 half_unit = kUnsignedPowersOfTen[std::min<std::size_t>(decimals, 19)];
    for (std::size_t d = 19; d < decimals; ++d) {
        half_unit *= 10;
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int candidate = 0; candidate < 2; ++candidate) {
        const auto biased = static_cast<int>(bits >> 52 & 0x7ff);
        const std::uint64_t fraction = bits & (kHidden - 1);
        const int exponent = biased - 1075;
        if (biased == 0 || fraction == 0 || exponent > 0 || exponent < -69) {
            return false;
        }
        const auto shift = static_cast<unsigned>(1 - exponent);  // 1 to 70
        const uint128 scaled_value = 2 * static_cast<uint128>(fraction | kHidden) * half_unit;
        const auto distance = [&](std::uint64_t text) {
            const uint128 scaled_text = static_cast<uint128>(text) << shift;
            return scaled_text > scaled_value ? scaled_text - scaled_value
                                              : scaled_value - scaled_text;
        };
        const uint128 off = distance(digits);
        if (off >= half_unit) {
            // Not the nearest double: its neighbour on the text's side may be.
            const bool above = (static_cast<uint128>(digits) << shift) > scaled_value;
            bits = above ? bits + 1 : bits - 1;
            continue;
        }
        const uint128 half_step = static_cast<uint128>(1) << (shift - 1);
        const std::uint64_t below = digits - digits % 10;
        return off < half_step && distance(below) > half_unit && distance(below + 10) > half_unit;
    }
    return false;
}

// Number texts are read eight bytes at a time, each eight as one word whose lowest byte is the
// first.
constexpr std::uint64_t kEachByte = 0x0101010101010101U;

// The eight bytes from `at`; those from `limit` on, where reading must stop, as zero bytes.
std::uint64_t load_word(const char* at, const char* limit) {
    std::uint64_t word = 0;
    if (limit - at >= 8) {
        std::memcpy(&word, at, 8);
        if constexpr (std::endian::native == std::endian::big) {
            word = __builtin_bswap64(word);
        }
        return word;
    }
    for (unsigned i = 0; at + i < limit; ++i) {
        word |= std::uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
    }
    return word;
}

// How many of the word's bytes, from the first, are decimal digits. Nothing carries or borrows
// out of the digits before the first byte that is not one, so that byte is found exactly.
int leading_digits(std::uint64_t word) {
    const std::uint64_t flags =
        ((word + kEachByte * 0x46) | (word - kEachByte * '0')) & (kEachByte * 0x80);
    return flags == 0 ? 8 : std::countr_zero(flags) / 8;
}

// The value of the word's first `n` bytes (1 to 8), which are decimal digits: moved to the top
// behind zero digits, then combined in pairs, fours and the eight.
std::uint64_t digits_value(std::uint64_t word, int n) {
    std::uint64_t d = (word - kEachByte * '0') << (8 * (8 - n));
    d = d * 10 + (d >> 8);
    constexpr std::uint64_t kPairs = 0x000000FF000000FFU;
    return static_cast<std::uint32_t>(((d & kPairs) * (100 + (std::uint64_t{1000000} << 32)) +
                                       ((d >> 16) & kPairs) * (1 + (std::uint64_t{10000} << 32))) >>
                                      32);
}

// A run of decimal digits from `at`, which ends at `end` at the latest: where it ends, and
// `value` with the run's digits appended (modulo 2^64: only values of at most 19 digits are
// used).
struct DigitRun {
    const char* end;
    std::uint64_t value;
};
DigitRun digit_run(const char* at, const char* end, const char* limit, std::uint64_t value) {
    for (;;) {
        const std::uint64_t word = load_word(at, limit);
        const int n =
            std::min(leading_digits(word), static_cast<int>(std::min<std::ptrdiff_t>(end - at, 8)));
        if (n > 0) {
            value =
                value * kUnsignedPowersOfTen[static_cast<std::size_t>(n)] + digits_value(word, n);
        }
        at += n;
        if (n < 8) {
            return {at, value};
        }
    }
}

// What a JSON number's text says about how the writers write its double.
struct DecimalText {
    std::uint64_t digits = 0;  // the significant digits, trailing zeros dropped
    int count = 0;             // how many: 0 for zero; beyond 19 when they may not fit
    int exponent = 0;          // the decimal exponent of the first of them
    bool minus = false;
    bool written = false;  // the text is those digits as the number format lays them out
};

// Reads a JSON number's text (which the parser has checked), eight bytes at a time.
DecimalText read_decimal(std::string_view text, std::size_t readable) {
    constexpr int kTooMany = 20;
    DecimalText decimal;
    const char* at = text.data();
    const char* const end = at + text.size();
    const char* const limit = at + readable;
    decimal.minus = at != end && *at == '-';
    at += decimal.minus ? 1 : 0;
    const char* const whole = at;
    DigitRun run = digit_run(whole, end, limit, 0);
    const std::ptrdiff_t whole_digits = run.end - whole;
    const char* const fraction = run.end + 1;
    std::ptrdiff_t fraction_digits = -1;  // no point
    if (run.end != end && *run.end == '.') {
        run = digit_run(fraction, end, limit, run.value);
        fraction_digits = run.end - fraction;
    }
    at = run.end;
    // The exponent as written ("e", a sign, no leading zero), and its value; one of more than
    // four digits leaves the decision to the value.
    const bool has_exponent = at != end;
    bool exponent_as_written = has_exponent && *at == 'e';
    long exponent = 0;
    if (has_exponent) {
        ++at;
        const bool negative = *at == '-';
        exponent_as_written = exponent_as_written && (negative || *at == '+');
        at += negative || *at == '+' ? 1 : 0;
        exponent_as_written = exponent_as_written && *at != '0';
        while (at != end && *at == '0') {
            ++at;
        }
        if (end - at > 4) {
            decimal.count = kTooMany;
            return decimal;
        }
        for (; at != end; ++at) {
            exponent = exponent * 10 + (*at - '0');
        }
        exponent = negative ? -exponent : exponent;
    }
    // The significant digits: from the first nonzero one, in the whole part or after "0.".
    std::ptrdiff_t significant = whole_digits + std::max<std::ptrdiff_t>(fraction_digits, 0);
    std::ptrdiff_t first = whole_digits - 1;
    if (*whole == '0') {
        std::ptrdiff_t zeros = 0;
        while (zeros < fraction_digits && fraction[zeros] == '0') {
            ++zeros;
        }
        significant = std::max<std::ptrdiff_t>(fraction_digits, 0) - zeros;
        first = -1 - zeros;
    }
    if (significant == 0 || significant >= kTooMany) {
        decimal.count = significant == 0 ? 0 : kTooMany;
        return decimal;
    }
    std::uint64_t digits = run.value;
    while (digits % 10 == 0) {
        digits /= 10;
        --significant;
    }
    const long r = first + exponent;
    if (r < -kMostExponent || r > kMostExponent) {
        decimal.count = kTooMany;
        return decimal;
    }
    decimal.digits = digits;
    decimal.count = static_cast<int>(significant);
    decimal.exponent = static_cast<int>(r);
    if (r >= -5 && r <= 15) {
        // Fixed notation: a point and the digits after it, a lone zero for a whole number.
        decimal.written =
            !has_exponent && fraction_digits == (significant <= r + 1 ? 1 : significant - r - 1);
    } else {
        // Exponent notation: one digit before the point, none after it if no more follow.
        decimal.written = exponent_as_written && whole_digits == 1 && *whole != '0' &&
                          fraction_digits == (significant == 1 ? -1 : significant - 1);
    }
    return decimal;
}

// The writers' text of a number text whose form is as_read or relaid, made from its digits.
char* decimal_chars(std::string_view text, std::size_t readable, char* at) {
    const DecimalText decimal = read_decimal(text, readable);
    std::array<char, 20> digits{};
    const char* const digits_end =
        std::to_chars(digits.data(), digits.data() + digits.size(), decimal.digits).ptr;
    if (decimal.minus) {
        *at++ = '-';
    }
    return lay_out(digits.data(), static_cast<std::size_t>(digits_end - digits.data()),
                   decimal.exponent, at);
}

// The form of the common text "digits.digits", at most 8 digits before the point and 16 after
// it, with no trailing zero but that of a whole number and at most four zeros after "0.", read
// from three words without a loop; nothing for any other text.
std::optional<NumberForm> plain_decimal_form(std::string_view text, std::size_t readable,
                                             double candidate) {
    const char* const sign = text.data();
    const char* const whole = sign + (*sign == '-' ? 1 : 0);
    const char* const end = sign + text.size();
    if (readable < static_cast<std::size_t>(whole - sign) + 25) {
        return std::nullopt;  // the three words would reach past what may be read
    }
    const std::uint64_t whole_word = load_word(whole, whole + 8);
    const int whole_digits = leading_digits(whole_word);
    if (whole_digits == 8 || whole[whole_digits] != '.') {
        return std::nullopt;
    }
    const char* const fraction = whole + whole_digits + 1;
    const std::uint64_t first_word = load_word(fraction, fraction + 8);
    const std::uint64_t second_word = load_word(fraction + 8, fraction + 16);
    const int first_digits = leading_digits(first_word);
    const int second_digits = first_digits == 8 ? leading_digits(second_word) : 0;
    const int fraction_digits = first_digits + second_digits;
    if (second_digits == 8 || fraction + fraction_digits != end) {
        return std::nullopt;  // more digits, or an exponent
    }
    if (end[-1] == '0') {
        // "12.0" is as the writers write it; other trailing zeros, and zero, are not.
        if (fraction_digits == 1 && *whole != '0') {
            return NumberForm::as_read;
        }
        return std::nullopt;
    }
    int significant = whole_digits + fraction_digits;
    if (*whole == '0') {
        const int zeros = std::countr_zero(first_word ^ (kEachByte * '0')) / 8;
        if (zeros > 4) {
            return std::nullopt;  // exponent notation
        }
        significant = fraction_digits - zeros;
    }
    if (significant <= kAlwaysShortest) {
        return NumberForm::as_read;
    }
    if (significant > kMostDigits || std::signbit(candidate) != (sign != whole)) {
        return NumberForm::value;
    }
    std::uint64_t digits = digits_value(whole_word, whole_digits) *
                               kUnsignedPowersOfTen[static_cast<std::size_t>(first_digits)] +
                           digits_value(first_word, first_digits);
    if (second_digits > 0) {
        digits = digits * kUnsignedPowersOfTen[static_cast<std::size_t>(second_digits)] +
                 digits_value(second_word, second_digits);
    }
    return shortest_text(digits, static_cast<std::size_t>(fraction_digits), std::abs(candidate))
               ? NumberForm::as_read
               : NumberForm::value;
}

// Any other text: read in full.
[[gnu::noinline]] NumberForm general_number_form(std::string_view text, std::size_t readable,
                                                 double candidate) {
    const DecimalText decimal = read_decimal(text, readable);
    if (decimal.count == 0 || decimal.count > kMostDigits || decimal.exponent < -kMostExponent ||
        decimal.exponent > kMostExponent) {
        return NumberForm::value;
    }
    if (decimal.count > kAlwaysShortest) {
        const int decimals = decimal.count - 1 - decimal.exponent;
        if (decimals <= 0 || std::signbit(candidate) != decimal.minus ||
            !shortest_text(decimal.digits, static_cast<std::size_t>(decimals),
                           std::abs(candidate))) {
            return NumberForm::value;
        }
    }
    return decimal.written ? NumberForm::as_read : NumberForm::relaid;
}

}  // namespace

NumberForm number_form(std::string_view text, std::size_t readable, double candidate) {
    if (const auto form = plain_decimal_form(text, readable, candidate)) {
        return *form;
    }
    return general_number_form(text, readable, candidate);
}

char* number_chars(Document::Value number, char* at) {
    if (const std::string_view text = number.number_text(); !text.empty()) {
        return decimal_chars(text, number.readable(), at);
    }
    switch (number.kind()) {
        case Document::Kind::unsigned_integer:
            return std::to_chars(at, at + kNumberRoom, number.unsigned_integer()).ptr;
        case Document::Kind::signed_integer:
            return std::to_chars(at, at + kNumberRoom, number.signed_integer()).ptr;
        default:
            return double_chars(number.floating(), at, true);
    }
}

void append_double(double value, TextOut& out) {
    put_double(value, out, true);
}

void append_double_general(double value, TextOut& out) {
    put_double(value, out, false);
}

}  // namespace corvanelle
