#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/commands.hpp"
#include "option_table.hpp"
#include "shared/failure_texts.hpp"

namespace corvanelle {
namespace {

// The manual's command list is the block of lines between .RS and .RE under .SH COMMANDS.
TEST(ManPage, ListsTheCommandTableInOrder) {
    std::ifstream page(CORVANELLE_MAN_PAGE);
    ASSERT_TRUE(page) << CORVANELLE_MAN_PAGE;
    std::vector<std::string> listed;
    bool in_section = false;
    bool in_block = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SH ")) {
            in_section = line == ".SH COMMANDS";
        } else if (in_section && line == ".RS") {
            in_block = true;
        } else if (in_section && line == ".RE") {
            break;
        } else if (in_block && !line.starts_with(".")) {
            listed.push_back(line);
        }
    }
    const std::vector<std::string> table(kCommandTable.begin(), kCommandTable.end());
    EXPECT_EQ(listed, table);
}

// The table of messages is one file: the README holds a copy of it, and the manual's DIAGNOSTICS
// are made from it, every cell of every row in order, with the roff escapes undone; and the
// table names every fixed failure text.
TEST(ManPage, DiagnosticsAndReadmeHoldTheTableOfEveryMessage) {
    const auto lines_of = [](const char* path) {
        std::ifstream file(path);
        EXPECT_TRUE(file) << path;
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    };
    const auto replace = [](std::string text, const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
            text.replace(at, from.size(), to);
        }
        return text;
    };
    std::vector<std::string> table;
    std::vector<std::vector<std::string>> from_table;
    std::vector<std::string> messages;
    for (const std::string& line : lines_of(CORVANELLE_MESSAGES)) {
        if (!line.starts_with("|")) {
            continue;
        }
        table.push_back(line);
        std::vector<std::string> cells;
        const std::string row = replace(replace(line, "\\|", "\x01"), "\u2026", "...");
        for (auto at = row.find('|'); at + 1 < row.size(); at = row.find('|', at + 1)) {
            cells.push_back(
                replace(row.substr(at + 2, row.find('|', at + 1) - at - 3), "\x01", "|"));
        }
        if (table.size() > 2) {
            from_table.push_back(
                {cells[0], cells[1] + ": " + cells[2], "Carried out? " + cells[3], cells[4]});
            messages.push_back(cells[0].substr(1, cells[0].find('`', 1) - 1));
        }
    }
    bool in_copy = false;
    std::vector<std::string> copy;
    for (const std::string& line : lines_of(CORVANELLE_README)) {
        in_copy = in_copy ? !line.starts_with("<!-- messages: end")
                          : line.starts_with("<!-- messages: begin");
        if (in_copy && line.starts_with("|")) {
            copy.push_back(line);
        }
    }
    EXPECT_EQ(copy, table) << "README.md's table of messages is not a copy of " CORVANELLE_MESSAGES;

    std::vector<std::vector<std::string>> in_page;
    bool in_messages = false;
    for (const std::string& line : lines_of(CORVANELLE_MAN_PAGE)) {
        if (line.starts_with(".SH ") || line.starts_with(".SS ") || line == ".PP") {
            in_messages = line == ".SS Messages";
        } else if (in_messages && line == ".TP") {
            in_page.emplace_back();
        } else if (in_messages && !in_page.empty() && line != ".br") {
            std::string text = replace(replace(line, "\\&", ""), "\\fB", "`");
            text = replace(replace(replace(text, "\\fR", "`"), "\\-", "-"), "\\e", "\\");
            in_page.back().push_back(text);
        }
    }
    EXPECT_EQ(in_page, from_table);

    // And the table documents every fixed text of the program, as the program writes it.
    std::string numbered = texts::argument_not_utf8(7);
    numbered.replace(numbered.find('7'), 1, "N");
    for (const std::string& text :
         {std::string(texts::kListNeedsTarget), std::string(texts::kUnknownCommand) + "X",
          std::string(texts::kUnsupportedListTarget) + "X", numbered,
          std::string(texts::kSocketNotConfigured), std::string(texts::kRequestTooLarge),
          std::string(texts::kFrameSizeInvalid), std::string(texts::kReplyOutOfMemory),
          std::string(texts::kCommandLineOutOfMemory), std::string(texts::kRequestOutOfMemory),
          std::string(texts::kOutputOutOfMemory), std::string(texts::kPathTooLong),
          std::string(texts::kWriteIncomplete), std::string(texts::kFillIncomplete)}) {
        EXPECT_NE(std::find(messages.begin(), messages.end(), text), messages.end()) << text;
    }
}

// The host's page describes every option of its option table under a tag (the line after .TP in
// OPTIONS) that names it, and its value as --help does; and it tags no option the table lacks.
TEST(ManPage, HostPageDescribesEveryOptionOfTheTable) {
    std::ifstream page(CORVANELLE_STUB_MAN_PAGE);
    ASSERT_TRUE(page) << CORVANELLE_STUB_MAN_PAGE;
    std::map<std::string, std::string> tags;  // each option named by a tag, and its tag
    bool in_options = false;
    bool tag_next = false;
    for (std::string line; std::getline(page, line);) {
        for (auto at = line.find("\\-"); at != std::string::npos; at = line.find("\\-", at)) {
            line.erase(at, 1);
        }
        if (line.starts_with(".SH ")) {
            in_options = line == ".SH OPTIONS";
        } else if (in_options && (tag_next || line == ".TP")) {
            const auto name = line.find("--");
            if (tag_next && name != std::string::npos) {
                tags[line.substr(name, line.find_first_of(" \"", name) - name)] = line;
            }
            tag_next = !tag_next;
        }
    }
    std::set<std::string> options;
    for (const stub::Row& row : stub::option_rows()) {
        options.insert(stub::long_name(row));
        ASSERT_TRUE(tags.contains(stub::long_name(row))) << stub::long_name(row);
        std::string value(row.argument.name);
        std::transform(value.begin(), value.end(), value.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_EQ(tags[stub::long_name(row)].ends_with("\" " + value + "\""), !value.empty())
            << tags[stub::long_name(row)];
    }
    for (const auto& [name, tag] : tags) {
        EXPECT_TRUE(options.contains(name)) << tag << ": no such option";
    }
}

}  // namespace
}  // namespace corvanelle
