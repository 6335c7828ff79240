// SPDX-License-Identifier: MIT
// What the commands share: sizes, shown text, the median and whole files.
#include <gtest/gtest.h>

#include <string>

#include "common/files.h"
#include "common/stats.h"
#include "common/text.h"
#include "tools.h"

namespace {

TEST(Common, SizesAreShownInTheLargestUnitThatDividesThemUpToMiB)
{
    EXPECT_EQ(memsweep::size_text(48 << 10), "48 KiB");
    EXPECT_EQ(memsweep::size_text(1280 << 10), "1280 KiB");
    EXPECT_EQ(memsweep::size_text(uint64_t(1) << 30), "1024 MiB");  // as memsweep's 128 MiB
    EXPECT_EQ(memsweep::size_text(1025), "1025 B");
    EXPECT_EQ(memsweep::size_text(0), "0 MiB");
}

TEST(Common, ShownTextHasNoControlCharacterAndAnEnd)
{
    // C0, DEL and C1 as UTF-8 spells it (CSI), escaped; other UTF-8 kept.
    EXPECT_EQ(memsweep::shown("a\x1b[2J\x7f\xc2\x9b" "b\xc3\xa9"), "a\\x1b[2J\\x7f\\xc2\\x9bb\xc3\xa9");
    EXPECT_EQ(memsweep::shown(std::string(100, 'x'), 8), "xxxxxxxx...");
}

TEST(Common, TheMedianOfAnEvenCountIsTheMeanOfTheMiddleTwo)
{
    EXPECT_EQ(memsweep::median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(memsweep::median({}), 0.0);
}

TEST(Common, AFileThatCantBeReadIsEmptyText)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string text = "x";
    EXPECT_FALSE(memsweep::read_file(dir.path + "/missing", &text));
    EXPECT_EQ(text, "");
    std::ofstream(dir.path + "/value") << "  performance \r\nmore\n";
    EXPECT_EQ(memsweep::file_text(dir.path + "/value"), "  performance \r\nmore\n");
    ASSERT_TRUE(memsweep::read_value(dir.path + "/value", &text));
    EXPECT_EQ(text, "performance");
}

}  // namespace
