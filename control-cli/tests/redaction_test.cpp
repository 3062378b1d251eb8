// The stand-in host's redaction of secrets (--redact), a pure room: frames in, frames out.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exchange/reader.hpp"
#include "redaction.hpp"

namespace corvanelle::stub {
namespace {

constexpr std::size_t kAny = 1 << 20;
const std::string kSecret = "hunter2!";  // exactly the shortest secret
const std::string kHolder = placeholder("PW");

struct Row {
    std::string name;
    std::vector<Secret> secrets;
    std::string json;
    // What redact() makes of it: the text (empty: unchanged), or the start of its failure.
    std::string redacted;
    std::string failure;
    std::size_t limit = kAny;
};

std::vector<Secret> pw(const std::string& value) {
    return {{"PW", value}};
}

TEST(Redaction, FramesRedactedInEverySpelling) {
    const std::string tricky = "pa\"s\\s/é😀\n";  // 11 characters, each of its own spelling
    const std::string tricky_holder = placeholder("T");
    const std::vector<Row> rows{
        {"Plain", pw(kSecret), R"({"arguments":["hunter2!"]})",
         R"({"arguments":[")" + kHolder + R"("]})"},
        {"InsideLongerTextTwice", pw(kSecret), R"("x=hunter2!;hunter2!")",
         R"("x=)" + kHolder + ";" + kHolder + R"(")"},
        {"EscapesUndone",
         {{"T", tricky}},
         R"(["pa\"s\\s\/\u00E9\ud83d\ude00\n", "pa\u0022s)"
         R"(\u005cs/é😀\u000a"])",
         "[\"" + tricky_holder + "\", \"" + tricky_holder + "\"]"},
        {"EscapedLetters", pw(kSecret), R"("\u0068unter2\u0021")", "\"" + kHolder + "\""},
        {"LongerSecretFirst",
         {{"A", kSecret}, {"B", kSecret + "-and-more"}},
         R"("hunter2!-and-more hunter2!")",
         "\"" + placeholder("B") + " " + placeholder("A") + "\""},
        {"NotThere", pw(kSecret), R"({"a":"hunter2","b":"unter2!"})", ""},
        {"SplitAcrossStringsIsNotFound", pw(kSecret), R"(["hunt","er2!"])", ""},
        {"AKey", pw(kSecret), R"({"hunter2!" : 1})", "", "the value of PW stands in a key"},
        {"ANumber", pw("12345678"), R"({"n":123456789})", "",
         "the value of PW stands outside the strings"},
        {"APlaceholderAlready", pw(kSecret), "[\"" + placeholder("X") + "\"]", "",
         "it already holds the text of a placeholder"},
        {"AnEscapedBackslashIsNoPlaceholder", pw(kSecret), R"(["\\u0000redacted:PW\\u0000"])", ""},
        {"UnfinishedString", pw(kSecret), R"(["hunter2!)", "", "it is not JSON"},
        {"LoneSurrogate", pw(kSecret), R"(["\udc00"])", "", "it is not JSON"},
        // The placeholder is longer than the value: the result's size is checked.
        {"AtTheLimit", pw(kSecret), R"("hunter2!")", "\"" + kHolder + "\"", "", kHolder.size() + 2},
        {"OnePastTheLimit", pw(kSecret), R"("hunter2!")", "", "it would be longer than",
         kHolder.size() + 1},
    };
    for (const Row& row : rows) {
        const auto redaction = Redaction::make(row.secrets, true);
        ASSERT_TRUE(redaction) << row.name << ": " << redaction.error().message;
        const auto redacted = redaction->redact(row.json, row.limit);
        if (!row.failure.empty()) {
            EXPECT_TRUE(!redacted && redacted.error().message.starts_with(row.failure))
                << row.name << ": " << (redacted ? "redacted" : redacted.error().message);
            continue;
        }
        ASSERT_TRUE(redacted) << row.name << ": " << redacted.error().message;
        EXPECT_EQ(redacted->value_or(""), row.redacted) << row.name;
        // What is charged for the copy: nothing without one, and at least the copy.
        const std::size_t cost = redaction->redacting_cost(row.json, row.limit);
        if (!*redacted) {
            EXPECT_EQ(cost, 0U) << row.name;
            continue;
        }
        EXPECT_GE(cost, 2 * redacted->value().size()) << row.name;
        // Put back, every occurrence reads as the value again: the plain spelling is the
        // very bytes; a string read whole reads as redact_text() of what it read as before.
        const auto restored = redaction->restore(**redacted, kAny);
        ASSERT_TRUE(restored && *restored) << row.name;
        if (row.name != "EscapesUndone" && row.name != "EscapedLetters") {
            EXPECT_EQ(**restored, row.json) << row.name;
        }
        const auto before = read_json_text(row.json);
        const auto after = read_json_text(**redacted);
        const auto back = read_json_text(**restored);
        ASSERT_TRUE(before && after && back) << row.name;
        if (before->root().kind() == Document::Kind::string) {
            EXPECT_EQ(redaction->redact_text(before->root().text()), after->root().text());
            EXPECT_EQ(back->root().text(), before->root().text()) << row.name;
        }
    }
}

TEST(Redaction, SecretsCheckedAtStart) {
    struct Case {
        std::vector<Secret> secrets;
        bool need_values;
        std::string failure;  // empty: accepted
    };
    const std::string e = "é";
    const Case cases[] = {
        {pw("hunter2"), true, "--redact PW: its value has fewer than 8 characters"},
        {pw("hunter2!"), true, ""},
        {pw(e + e + e + e + e + e + e), true, "--redact PW: its value has fewer than 8"},
        {pw(e + e + e + e + e + e + e + e), true, ""},
        {pw(""), true, "--redact PW: the variable PW is empty"},
        {pw("hunter2\xff"), true, "--redact PW: its value is not valid UTF-8"},
        {{{"PW", std::nullopt}}, true, "--redact PW: the variable PW is not set"},
        {{{"PW", std::nullopt}}, false, ""},
        {{{"1PW", kSecret}}, true, "--redact takes the name of an environment variable"},
        {{{"P-W", kSecret}}, true, "--redact takes the name of an environment variable"},
        {{{"PW", "redacted:PW"}}, true, "--redact PW: its value stands in the placeholder of PW"},
    };
    for (const Case& c : cases) {
        const auto made = Redaction::make(c.secrets, c.need_values);
        EXPECT_EQ(made ? "" : made.error().message.substr(0, c.failure.size()), c.failure);
    }
}

// A replay without the variable sends the placeholder as it stands; with it, the value.
TEST(Redaction, PlaceholdersPutBackWhereTheValueIsKnown) {
    const std::string recorded = "[\"" + kHolder + "\",\"" + placeholder("OTHER") + "\"]";
    const auto without = Redaction::make({{"PW", std::nullopt}}, false);
    ASSERT_TRUE(without);
    EXPECT_EQ(without->unset(), std::vector<std::string>{"PW"});
    const auto kept = without->restore(recorded, kAny);
    EXPECT_TRUE(kept && !*kept);
    const auto with = Redaction::make(pw("a\"b\tcdefgh"), true);
    ASSERT_TRUE(with);
    const auto back = with->restore(recorded, kAny);
    ASSERT_TRUE(back && *back);
    EXPECT_EQ(**back, R"(["a\"b\tcdefgh",")" + placeholder("OTHER") + "\"]");
    EXPECT_GE(with->restoring_cost(recorded, kAny), 2 * back->value().size());
    EXPECT_EQ(with->restoring_cost("[\"" + placeholder("OTHER") + "\"]", kAny), 0U);
    EXPECT_FALSE(with->restore(recorded, back->value().size() - 1));
    EXPECT_TRUE(with->restore(recorded, back->value().size()));
}

}  // namespace
}  // namespace corvanelle::stub
