#include <unistd.h>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "exchange/reader.hpp"
#include "report/json_text.hpp"
#include "report/number_text.hpp"

namespace corvanelle {
namespace {

std::string double_text(double value) {
    TextOut out;
    append_double(value, out);
    return std::string(out.view());
}

struct DoubleCase {
    double value;
    const char* text;
};

TEST(DoubleText, MatchesTheNumberFormat) {
    const DoubleCase cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {100.0, "100.0"},
        {1.5, "1.5"},
        {-1.5, "-1.5"},
        {123.45, "123.45"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {12.5, "12.5"},
        {1.5e-5, "0.000015"},
        {0.00001, "0.00001"},
        {1e-6, "1e-6"},
        {2.5e-7, "2.5e-7"},
        // The band edges on the general route: more than six decimals, or 17 digits.
        {0.00001234, "0.00001234"},
        {1.2345678901234568e-5, "0.000012345678901234568"},
        {1.234e-6, "1.234e-6"},
        {9.999999999999999e-6, "9.999999999999999e-6"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1234567890123456.8, "1234567890123456.8"},
        {1e16, "1e+16"},
        {1.2345678901234568e16, "1.2345678901234568e+16"},
        {1.5e16, "1.5e+16"},
        {18446744073709551616.0, "1.8446744073709552e+19"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
        {123456.789, "123456.789"},
        {1e100, "1e+100"},
        {0.3, "0.3"},
        {2.0 / 3.0, "0.6666666666666666"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(double_text(c.value), c.text) << "value " << c.value;
    }
}

TEST(DoubleText, ShortDecimalsMatchTheGeneralRoute) {
    // Ten million values where the short route applies or nearly does: decimals with up to
    // seven places, their neighbours one ulp away, and doubles of every magnitude. (A tenth
    // of that in unoptimised builds, which are ten times slower.)
#if defined(__OPTIMIZE__)
    constexpr int kValues = 10'000'000;
#else
    constexpr int kValues = 1'000'000;
#endif
    std::mt19937_64 random(20261209);
    constexpr double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7};
    int mismatches = 0;
    for (int i = 0; i < kValues && mismatches < 10; ++i) {
        double value = 0;
        switch (i % 4) {
            case 0:
            case 1:
                value = static_cast<double>(random() % 100'000'000'000ULL) / kScale[random() % 8];
                break;
            case 2:
                value = std::nextafter(static_cast<double>(random() % 10'000'000) / kScale[i % 8],
                                       (i & 8) != 0 ? 0.0 : 1e300);
                break;
            default:
                value = std::ldexp(static_cast<double>(random() >> 11),
                                   static_cast<int>(random() % 120) - 80);
        }
        TextOut fast;
        TextOut general;
        append_double(value, fast);
        append_double_general(value, general);
        if (fast.view() != general.view()) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << value << ": " << fast.view() << " against "
                          << general.view();
        }
    }
}

TEST(DoubleText, ReadsBackToTheSameDouble) {
    const double values[] = {0.1,           1.0 / 3.0,      6.02214076e23, 4.9406564584124654e-324,
                             123456789.123, 0.000123456789, 1e-5,          99999999999999.99};
    for (const double v : values) {
        EXPECT_EQ(std::strtod(double_text(v).c_str(), nullptr), v) << double_text(v);
    }
}

std::string string_text(std::string_view s) {
    TextOut out;
    append_string(s, out);
    return std::string(out.view());
}

TEST(StringText, EscapesOnlyWhatJsonRequires) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", R"("plain")"},
        {"", R"("")"},
        {"quote\" backslash\\", R"("quote\" backslash\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\0\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
        {"\x0b", R"("\u000b")"},
        {"a/b", R"("a/b")"},
        {"\x7f", "\"\x7f\""},
        {"tab\there, esc\x1b, é", "\"tab\\there, esc\\u001b, \xc3\xa9\""},
        {"日本 😀", "\"日本 😀\""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(string_text(input), expected);
    }
    // Strings are scanned eight bytes at a time: every byte at every place of two words,
    // among bytes that need no escape, comes out as it does alone.
    for (const char fill : {'a', '\xff'}) {
        for (int byte = 0; byte < 256; ++byte) {
            const std::string alone = string_text(std::string(1, static_cast<char>(byte)));
            const std::string_view escaped(alone.data() + 1, alone.size() - 2);
            for (std::size_t at = 0; at < 16; ++at) {
                std::string text(16, fill);
                text[at] = static_cast<char>(byte);
                const std::string expected = "\"" + std::string(at, fill) + std::string(escaped) +
                                             std::string(15 - at, fill) + "\"";
                ASSERT_EQ(string_text(text), expected) << "byte " << byte << " at " << at;
            }
        }
    }
}

TEST(Layout, CompactAndIndentedForms) {
    struct Case {
        const char* input;
        const char* compact;
        const char* indented;
    };
    const Case cases[] = {
        {"{}", "{}", "{}"},
        {"[]", "[]", "[]"},
        {"null", "null", "null"},
        {R"({"b":1,"a":2})", R"({"a":2,"b":1})", "{\n  \"a\": 2,\n  \"b\": 1\n}"},
        {R"({"x":{},"y":[],"z":[{}, []]})", R"({"x":{},"y":[],"z":[{},[]]})",
         "{\n  \"x\": {},\n  \"y\": [],\n  \"z\": [\n    {},\n    []\n  ]\n}"},
        {R"([1,-3,18446744073709551615,true,false,null,"s"])",
         R"([1,-3,18446744073709551615,true,false,null,"s"])",
         "[\n  1,\n  -3,\n  18446744073709551615,\n  true,\n  false,\n  null,\n  \"s\"\n]"},
        {R"({"a":[1,{"b":[2]}]})", R"({"a":[1,{"b":[2]}]})",
         "{\n  \"a\": [\n    1,\n    {\n      \"b\": [\n        2\n      ]\n    }\n  ]\n}"},
        {R"([1.50, 1e2, -9223372036854775808])", "[1.5,100.0,-9223372036854775808]",
         "[\n  1.5,\n  100.0,\n  -9223372036854775808\n]"},
        // Short keys that need escapes, with whole blocks readable behind them (the value's
        // escape puts it in the same buffer): escaped like any other string.
        {R"({"k\"":1,"c\u0001":2,"p":"\u0041 and more than thirty-two bytes after it"})",
         R"({"c\u0001":2,"k\"":1,"p":"A and more than thirty-two bytes after it"})",
         "{\n  \"c\\u0001\": 2,\n  \"k\\\"\": 1,\n  \"p\": \"A and more than thirty-two bytes "
         "after it\"\n}"},
    };
    for (const auto& c : cases) {
        const auto value = read_json_text(c.input);
        ASSERT_TRUE(value.has_value()) << c.input;
        EXPECT_EQ(to_compact(*value), c.compact) << c.input;
        EXPECT_EQ(to_indented(*value), c.indented) << c.input;
    }
}

TEST(Layout, DeepIndentation) {
    // Indentation at every depth a reply may have, and beyond.
    for (const std::size_t depth : {1U, 63U, 64U, 65U, 127U, 200U}) {
        DocumentBuilder value;
        for (std::size_t level = 0; level < depth; ++level) {
            value.start_array();
        }
        value.unsigned_integer(1);
        std::string expected = "1";
        for (std::size_t level = depth; level > 0; --level) {
            value.end();
            const std::string inner(level * 2, ' ');
            const std::string outer((level - 1) * 2, ' ');
            expected = "[\n" + inner + expected + "\n" + outer + "]";
        }
        EXPECT_EQ(to_indented(value.take()), expected) << depth;
    }
}

TEST(Layout, KeysInByteOrderNotLocaleOrder) {
    DocumentBuilder value;
    value.start_object();
    for (const char* key : {"é", "z", "Z", "a", "\x7f", "日", "_", "A"}) {
        value.key(key);
        value.unsigned_integer(0);
    }
    value.end();
    EXPECT_EQ(to_compact(value.take()),
              "{\"A\":0,\"Z\":0,\"_\":0,\"a\":0,\"z\":0,\"\x7f\":0,\"é\":0,\"日\":0}");
}

TEST(Layout, LargeOutputIsDrainedInPiecesWithoutChange) {
    DocumentBuilder builder;
    builder.start_array();
    for (std::uint64_t i = 0; i < 20000; ++i) {
        builder.start_object();
        builder.key("i");
        builder.unsigned_integer(i);
        builder.key("s");
        builder.string(std::string(10, 'x'));
        builder.end();
    }
    // Runs longer than the buffer go to the descriptor directly, between escapes.
    std::string long_text(300000, 'y');
    long_text[70000] = '"';
    long_text[200000] = '\n';
    builder.string(long_text);
    builder.floating(1.5);
    builder.end();
    const Document value = builder.take();
    std::string expected = to_indented(value);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
    });
    TextOut out(fds[1]);
    write_indented(value, out);
    EXPECT_TRUE(out.finish().has_value());
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace corvanelle
