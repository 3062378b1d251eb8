#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "exchange/reader.hpp"
#include "report/failure.hpp"
#include "report/json_text.hpp"
#include "report/number_text.hpp"

namespace corvanelle {
namespace {

std::string nested(std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

// Arrays, then objects inside them, left open.
std::string mixed(std::size_t arrays, std::size_t objects) {
    std::string text(arrays, '[');
    for (std::size_t i = 0; i < objects; ++i) {
        text += "{\"k\":";
    }
    return text;
}

TEST(ReadReply, AcceptsPerTheReadingRules) {
    struct Case {
        std::string payload;
        std::string compact;  // the value read, written back compact
    };
    const Case cases[] = {
        {"{}", "{}"},
        {"  {\"a\":1}\n", R"({"a":1})"},
        {"\t\r\n[1]\r\n", "[1]"},
        {R"({"success":false,"success":true})", R"({"success":true})"},
        {R"({"b":1,"a":{"d":2,"c":3}})", R"({"a":{"c":3,"d":2},"b":1})"},
        {"-0", "-0.0"},
        {"[-0, 0, -0.0]", "[-0.0,0,-0.0]"},
        {"18446744073709551615", "18446744073709551615"},
        {"18446744073709551616", "1.8446744073709552e+19"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"-9223372036854775809", "-9.223372036854776e+18"},
        {"1e-400", "0.0"},
        // Zero, however large its exponent, and values too small for a double.
        {"0e99999999999", "0.0"},
        {"[1e-99999999999, -0.5E-0000000000099999999999, \"1e-99999999999\"]",
         "[0.0,-0.0,\"1e-99999999999\"]"},
        {"{\"a\":-0e+2147483648,\"b\":1e-2147483649}", "{\"a\":-0.0,\"b\":0.0}"},
        {"-0.0e-99999999999", "-0.0"},
        {"1e-99999999999", "0.0"},
        {"[0E+99999999999]", "[0.0]"},
        {R"(["\"0e99999999999", 0e99999999999])", R"(["\"0e99999999999",0.0])"},
        {"4.9406564584124654e-324", "5e-324"},
        // Doubles read exactly, to the nearest double of their text.
        {"0.1", "0.1"},
        {"2.2250738585072011e-308", "2.225073858507201e-308"},
        {"9007199254740993", "9007199254740993"},
        {"9007199254740993.0", "9007199254740992.0"},
        {"1.00000000000000011102230246251565404236316680908203125", "1.0"},
        {"1.00000000000000011102230246251565404236316680908203126", "1.0000000000000002"},
        {R"("\u00e9\ud83d\ude00\/\u001B")", "\"é😀/\\u001b\""},
        {"\"x\x7fy\"", "\"x\x7fy\""},
        {nested(127), std::string(127, '[') + std::string(127, ']')},
        {"\"string\"", "\"string\""},
        // Numbers kept as their text, and their neighbours that must be converted.
        {"[0.30000000000000004,0.10000000000000001,-0.1234567890123450,12.0,12.50,1.5e1]",
         "[0.30000000000000004,0.1,-0.123456789012345,12.0,12.5,15.0]"},
        {"[0.000012345678901234568,0.0000012345678901234568,1000000000000000.5,0.000015]",
         "[0.000012345678901234568,1.2345678901234567e-6,1000000000000000.5,0.000015]"},
        {"[0.0000015,1.0000000000000002,0.09999999999999999]",
         "[1.5e-6,1.0000000000000002,0.09999999999999999]"},
        // Digits laid out anew from the text; the edges of the digit count and of the range.
        {"[1e-07,1E+16,1e16,1.50,100e-2,0.000001,12e-7,1e15,1.0e+16,-1.5E-0300,2.5e-7,1e+16]",
         "[1e-7,1e+16,1e+16,1.5,1.0,1e-6,1.2e-6,1000000000000000.0,1e+16,-1.5e-300,2.5e-7,1e+16]"},
        {"[1e+307,1.234567e-320,9.999999999999999e22,1.2345678901234567e2,0.12345678901234560]",
         "[1e+307,1.2347e-320,1e+23,123.45678901234567,0.1234567890123456]"},
        {"[1234567.123456789,12345678.123456789,1234567.1234567891,0.1234567890123456,"
         "0.123456789012345,0.000001234567890123,89140.25694303032,8803036.269395331]",
         "[1234567.123456789,12345678.12345679,1234567.1234567892,0.1234567890123456,"
         "0.123456789012345,1.234567890123e-6,89140.25694303033,8803036.26939533]"},
        // Keys that arrive in order, share eight bytes, or hold a zero byte.
        {R"({"a":1,"b":2,"b":3})", R"({"a":1,"b":3})"},
        {R"({"abcdefgh2":1,"abcdefgh1":2,"abcdefgh":3})",
         R"({"abcdefgh":3,"abcdefgh1":2,"abcdefgh2":1})"},
        {R"({"a\u0000":1,"a":2})", R"({"a":2,"a\u0000":1})"},
        // An object ordered as the one before it only when its keys are the same.
        {R"([{"a":1,"a\u0000\u0000":2},{"a\u0000\u0000":1,"a":2}])",
         R"([{"a":1,"a\u0000\u0000":2},{"a":2,"a\u0000\u0000":1}])"},
        {R"([{"abcdefgh1":1,"abcdefgh2":2},{"abcdefgh2":1,"abcdefgh1":2}])",
         R"([{"abcdefgh1":1,"abcdefgh2":2},{"abcdefgh1":2,"abcdefgh2":1}])"},
        {R"([{"b":1,"a":2,"b":3},{"b":4,"a":5,"b":6}])", R"([{"a":2,"b":3},{"a":5,"b":6}])"},
        // More members than are ordered on the stack, unsorted, nested and repeated.
        {R"({"r":1,"q":[2,3],"p":{"z":4,"y":5},"o":6,"n":7,"m":8,"l":9,"k":10,"j":11,"i":12,)"
         R"("h":13,"g":14,"f":15,"e":16,"d":17,"c":18,"b":19,"a":[20],"k":21})",
         R"({"a":[20],"b":19,"c":18,"d":17,"e":16,"f":15,"g":14,"h":13,"i":12,"j":11,"k":21,)"
         R"("l":9,"m":8,"n":7,"o":6,"p":{"y":5,"z":4},"q":[2,3],"r":1})"},
        // The same keys at other places: an order of its own.
        {R"([{"b":[1],"a":2},{"b":[1,2],"a":3},{"b":[4],"a":5}])",
         R"([{"a":2,"b":[1]},{"a":3,"b":[1,2]},{"a":5,"b":[4]}])"},
        {mixed(63, 64) + "1" + std::string(64, '}') + std::string(63, ']'),
         mixed(63, 64) + "1" + std::string(64, '}') + std::string(63, ']')},
        {"true", "true"},
    };
    for (const auto& c : cases) {
        auto value = read_json_text(c.payload);
        ASSERT_TRUE(value.has_value()) << c.payload << ": " << value.error().message;
        EXPECT_EQ(to_compact(*value), c.compact) << c.payload;
        // The document keeps the text as it arrived, however it had to be read.
        EXPECT_EQ(std::move(*value).release_source().view(), c.payload);
    }
}

TEST(ReadReply, NumberKinds) {
    using Kind = Document::Kind;
    const std::pair<const char*, Kind> cases[] = {
        {"-0", Kind::floating},
        {"0", Kind::unsigned_integer},
        {"18446744073709551615", Kind::unsigned_integer},
        {"18446744073709551616", Kind::floating},
        {"-1", Kind::signed_integer},
        {"-9223372036854775808", Kind::signed_integer},
        {"-9223372036854775809", Kind::floating},
        {"1.0", Kind::floating},
        {"1e2", Kind::floating},
    };
    for (const auto& [text, kind] : cases) {
        EXPECT_EQ(read_json_text(text)->root().kind(), kind) << text;
    }
    EXPECT_TRUE(std::signbit(read_json_text("-0")->root().floating()));
    EXPECT_EQ(read_json_text("18446744073709551615")->root().unsigned_integer(), UINT64_MAX);
    EXPECT_EQ(read_json_text("1.5E1")->root().floating(), 15.0);
}

TEST(ReadReply, ObjectMembersByKeyLastRepeatWins) {
    const auto doc = read_json_text(R"({"b":1,"a":2,"é":3,"b":4,"A":5,"a":6,"":7})");
    ASSERT_TRUE(doc.has_value());
    std::string order;
    doc->root().for_each_member([&](std::string_view key, Document::Value value) {
        order += std::string(key) + "=" + std::to_string(value.unsigned_integer()) + ";";
    });
    EXPECT_EQ(order, "=7;A=5;a=6;b=4;é=3;");
    EXPECT_EQ(doc->root().size(), 5U);
    Document::Value found = doc->root();
    EXPECT_TRUE(doc->root().find("b", found));
    EXPECT_EQ(found.unsigned_integer(), 4U);
    EXPECT_FALSE(doc->root().find("c", found));
}

// The shapes that hold the most values per byte, at a size where the reserved arrays are
// filled to their bounds: each is read whole and writes back as it came.
TEST(ReadReply, DenseShapes) {
    const auto repeat = [](const std::string& item, std::size_t times) {
        std::string text;
        for (std::size_t i = 0; i < times; ++i) {
            text += (i == 0 ? "" : ",") + item;
        }
        return text;
    };
    std::string distinct = "{";
    for (int i = 0; i < 50000; ++i) {
        distinct += (i == 0 ? "\"" : ",\"") + std::to_string(100000 + i) + "\":0";
    }
    distinct += "}";
    const std::string deep = std::string(126, '[') + std::string(126, ']');
    const std::pair<std::string, std::size_t> cases[] = {
        {"[" + repeat("[]", 100000) + "]", 100000},
        {"[" + repeat("0", 200000) + "]", 200000},
        {"[" + repeat("{}", 100000) + "]", 100000},
        {"[" + repeat(deep, 500) + "]", 500},
        {distinct, 50000},
        {"{" + repeat("\"a\":0", 100000) + "}", 1},
        {"[]", 0},
    };
    for (const auto& [text, size] : cases) {
        const auto value = read_json_text(text);
        ASSERT_TRUE(value.has_value()) << text.substr(0, 40) << ": " << value.error().message;
        EXPECT_EQ(value->root().size(), size) << text.substr(0, 40);
        const std::string expected = text.starts_with("{\"a\"") ? "{\"a\":0}" : text;
        EXPECT_EQ(to_compact(*value), expected) << text.substr(0, 40);
    }
}

TEST(ReadReply, LargeObjectsKeepTheLastOfEachRepeatedKey) {
    // Beyond 16 members objects are ordered by another sort, which must be stable too.
    for (const int members : {17, 40, 300}) {
        std::string text = "{";
        for (int round = 0; round < 5; ++round) {
            for (int n = 0; n < members; ++n) {
                const int i = round % 2 == 0 ? n : members - 1 - n;
                text += (text.size() > 1 ? ",\"k" : "\"k") + std::to_string(1000 + i) +
                        "\":" + std::to_string(round * 1000 + i);
            }
        }
        text += "}";
        const auto doc = read_json_text(text);
        ASSERT_TRUE(doc.has_value()) << doc.error().message;
        EXPECT_EQ(doc->root().size(), static_cast<std::size_t>(members));
        int expected = 0;
        doc->root().for_each_member([&](std::string_view key, Document::Value value) {
            EXPECT_EQ(key, "k" + std::to_string(1000 + expected));
            EXPECT_EQ(value.unsigned_integer(), static_cast<std::uint64_t>(4000 + expected))
                << members << " members, key " << key;
            ++expected;
        });
    }
}

TEST(ReadReply, RefusesWithPositionedMessages) {
    struct Case {
        std::string payload;
        std::string position;  // the message's end
    };
    const Case cases[] = {
        {"[1,]", " at line 1 column 4"},
        {"", " at line 1 column 1"},
        {"   ", " at line 1 column 4"},
        {"\xEF\xBB\xBF{}", " at line 1 column 1"},
        {"{}x", " at line 1 column 3"},
        {"{} {}", " at line 1 column 4"},
        {"{\n  \"a\": 1,\n  \"b\": tru\n}", " at line 3 column 8"},
        {std::string("{\"a\":1}\0garbage", 15), " at line 1 column 8"},
        {std::string("\"a\0b\"", 5), " at line 1 column 3"},
        {"\"tab\there\"", " at line 1 column 5"},
        {"1e400", " at line 1 column 1"},
        {"[2e308]", " at line 1 column 2"},
        {"[0, -1e400]", " at line 1 column 5"},
        {"[1e99999999999]", " at line 1 column 2"},
        {"-1.5e+2147483648", " at line 1 column 1"},
        // Malformed text right after a vanishing number: refused at its first byte.
        {"0e99999999999-1", " at line 1 column 14"},
        {"0e99999999999e1", " at line 1 column 14"},
        {"0e99999999999.5", " at line 1 column 14"},
        {"00e99999999999", " at line 1 column 2"},
        {"-0e+99999999999+", " at line 1 column 16"},
        {"0e999999999990e1", " at line 1 column 15"},
        {"[0.e99999999999]", " at line 1 column 4"},
        {"{\"success\":true,\"n\":0e99999999999-1}", " at line 1 column 34"},
        {"\"\xff\"", " at line 1 column 2"},
        {"\"\xed\xa0\x80\"", " at line 1 column 2"},
        {R"("\ud800")", " at line 1 column 8"},
        {R"("\udc00\ud800")", " at line 1 column 3"},
        {"[" + nested(127) + "]", " at line 1 column 128"},
        {"\n\n" + std::string(200, '['), " at line 3 column 128"},
        {"[\"x\"," + std::string(130, '['), " at line 1 column 132"},
        {"[\"]\\\"[\"," + std::string(127, '['), " at line 1 column 135"},
        {mixed(63, 64) + "[", " at line 1 column 384"},
        {"{\"a\"}", " at line 1 column 5"},
        {"nul", " at line 1 column 4"},
        {"01", " at line 1 column 2"},
    };
    for (const auto& c : cases) {
        const auto value = read_json_text(c.payload);
        ASSERT_FALSE(value.has_value()) << c.payload;
        const std::string& message = value.error().message;
        EXPECT_TRUE(message.ends_with(c.position)) << c.payload << " gave: " << message;
        EXPECT_GT(message.size(), c.position.size()) << "a description comes first";
        EXPECT_EQ(classify_failure(message).code, "CLIENT_FAILURE") << message;
    }
}

TEST(ReadReply, MessagesNeverQuoteTheReply) {
    // Reply text in a message could mimic another failure class or break UTF-8.
    const std::string payloads[] = {
        "[\"timed out\xff\"]",
        "{\"No such file\":tru}",
        "[Connection refused]",
        "\"CORVANELLE_CONTROL_SOCKET\x01\"",
        "1e999999",
        "[\"Timed Out\" \"x\"]",
    };
    for (const auto& payload : payloads) {
        const auto value = read_json_text(payload);
        ASSERT_FALSE(value.has_value()) << payload;
        EXPECT_EQ(classify_failure(value.error().message).code, "CLIENT_FAILURE")
            << value.error().message;
        EXPECT_EQ(value.error().message.find('\xff'), std::string::npos);
    }
}

// Doubles kept as the text they arrived in must be what the general route writes: shortest
// texts of random doubles, and neighbours of theirs that differ in the last digit.
TEST(ReadReply, DoublesKeptAsReadMatchTheGeneralRoute) {
    std::mt19937_64 random(20261210);
    int mismatches = 0;
    for (int i = 0; i < 200000 && mismatches < 10; ++i) {
        const double value =
            std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 90) - 80);
        TextOut shortest;
        append_double(value, shortest);
        std::string text(shortest.view());
        if (i % 2 == 1) {
            text.back() = static_cast<char>('0' + random() % 10);
        }
        TextOut expected;
        append_double_general(std::strtod(text.c_str(), nullptr), expected);
        const auto read = read_json_text(text);
        if (!read.has_value() || to_compact(*read) != expected.view()) {
            ++mismatches;
            ADD_FAILURE() << text << " gave " << (read ? to_compact(*read) : "a failure");
        }
    }
}

// The public JSON parsing corpus, kept in the source tree (tests/data/json-test-suite).
TEST(ReadReply, ParsingCorpus) {
    const std::filesystem::path folder = CORVANELLE_JSON_SUITE "/test_parsing";
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << "no JSON parsing corpus at " << folder;
    const std::set<std::string> accepted_i = {
        "i_number_double_huge_neg_exp.json", "i_number_real_underflow.json",
        "i_number_too_big_neg_int.json", "i_number_too_big_pos_int.json",
        "i_number_very_big_negative_int.json"};
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string payload{std::istreambuf_iterator<char>(in), {}};
        const auto value = read_json_text(payload);
        const bool accept = name.starts_with("y_") || accepted_i.contains(name);
        EXPECT_EQ(value.has_value(), accept) << name << (value ? "" : ": " + value.error().message);
        if (value) {
            // What was accepted writes and reads back unchanged, in both forms.
            const std::string compact = to_compact(*value);
            EXPECT_EQ(to_compact(*read_json_text(compact)), compact) << name;
            EXPECT_EQ(to_compact(*read_json_text(to_indented(*value))), compact) << name;
        }
        ++files;
    }
    EXPECT_EQ(files, 318);
}

}  // namespace
}  // namespace corvanelle
