#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/commands.hpp"

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

}  // namespace
}  // namespace corvanelle
