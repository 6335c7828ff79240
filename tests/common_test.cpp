// SPDX-License-Identifier: MIT
// What the commands share: sizes, shown text, the median and whole files.
#include <gtest/gtest.h>

#include <string>

#include "common/files.h"
#include "common/shown.h"
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

TEST(Common, ShownTextHasNoControlCharacterAndNoByteOutsideUtf8)
{
    // C0, DEL and C1, as UTF-8 spells it (CSI) and as a raw byte; other
    // scripts, up to U+10FFFF, kept.
    EXPECT_EQ(shown_line("a\x1b[2J\x7f\xc2\x9b\x9b\t\n" "b\xc3\xa9\xe2\x82\xac\xf4\x8f\xbf\xbf"),
              "a?[2J?????b\xc3\xa9\xe2\x82\xac\xf4\x8f\xbf\xbf");
    // Ill-formed: overlong forms ('/' in two and three bytes, U+20AC in
    // four), surrogates, beyond U+10FFFF, the lead bytes F5 to FF, a
    // character cut short by the end or by another: one '?' a byte.
    for (const char *bad : {"\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xf0\x82\x82\xac", "\xed\xa0\x80",
                            "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf7\xbf\xbf\xbf",
                            "\xf8\x88\x80\x80\x80", "\xff", "\xe2\x82", "\xf0\x9f\x98"}) {
        std::string text = bad, shown = shown_line(text);
        EXPECT_EQ(shown, std::string(text.size(), '?')) << shown;
    }
    EXPECT_EQ(shown_line("\xe2\x82" "a"), "??a");
    // The commands' other names for it agree.
    EXPECT_EQ(memsweep::shown("x\xed\xa0\x80\x1b"), "x????");
}

TEST(Common, ShortenedTextEndsInDotsAndKeepsItsCharactersWhole)
{
    EXPECT_EQ(memsweep::shown(std::string(100, 'x'), 8), "xxxxxxxx...");
    EXPECT_EQ(shown_line("abc", 3), "abc");
    // Two-, three- and four-byte characters count one each, kept whole.
    EXPECT_EQ(shown_line("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z", 3), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80...");
    EXPECT_EQ(shown_line("\xe2\x82\xac\xe2\x82\xac", 1), "\xe2\x82\xac...");
    EXPECT_EQ(shown_line("\x01\x02\x03", 2), "??...");
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
