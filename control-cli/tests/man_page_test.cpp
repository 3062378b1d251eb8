#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/commands.hpp"
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

// The manual's messages are made from the README's table: every row's message is there, in
// order, as the tag of an entry under DIAGNOSTICS, with the roff escapes undone; and the table
// names every fixed failure text.
TEST(ManPage, DiagnosticsHoldTheReadmeTableOfEveryMessage) {
    std::ifstream readme(CORVANELLE_README);
    ASSERT_TRUE(readme) << CORVANELLE_README;
    std::vector<std::string> in_readme;
    bool in_table = false;
    for (std::string line; std::getline(readme, line);) {
        in_table = in_table ? !line.starts_with("<!-- messages: end")
                            : line.starts_with("<!-- messages: begin");
        if (in_table && line.starts_with("| `")) {
            in_readme.push_back(line.substr(3, line.find("` |") - 3));
        }
    }
    std::ifstream page(CORVANELLE_MAN_PAGE);
    ASSERT_TRUE(page) << CORVANELLE_MAN_PAGE;
    std::vector<std::string> in_page;
    bool in_section = false;
    bool tag_next = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SH ")) {
            in_section = line == ".SH DIAGNOSTICS";
        } else if (in_section && tag_next && line.starts_with("\\fB")) {
            std::string text;
            for (std::size_t i = 3; i < line.size(); ++i) {
                if (line.compare(i, 3, "\\fR") == 0 && i + 3 == line.size()) {
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size()) {
                    text += line[i + 1] == 'e' ? '\\' : line[i + 1];
                    ++i;
                } else {
                    text += line[i];
                }
            }
            in_page.push_back(text);
        }
        tag_next = in_section && line == ".TP";
    }
    EXPECT_EQ(in_page, in_readme);

    // And the table documents every fixed text of the program, as the program writes it.
    std::string numbered = texts::argument_not_utf8(7);
    numbered.replace(numbered.find('7'), 1, "N");
    for (const std::string& text :
         {std::string(texts::kListNeedsTarget), std::string(texts::kUnknownCommand) + "X",
          std::string(texts::kUnsupportedListTarget) + "X", numbered,
          std::string(texts::kSocketNotConfigured), std::string(texts::kRequestTooLarge),
          std::string(texts::kFrameSizeInvalid), std::string(texts::kReplyOutOfMemory),
          std::string(texts::kPathTooLong), std::string(texts::kWriteIncomplete),
          std::string(texts::kFillIncomplete)}) {
        EXPECT_NE(std::find(in_readme.begin(), in_readme.end(), text), in_readme.end()) << text;
    }
}

}  // namespace
}  // namespace corvanelle
