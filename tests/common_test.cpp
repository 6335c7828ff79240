// SPDX-License-Identifier: MIT
// What the commands share: sizes, shown text, the median, whole files and
// the command line's rules.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/files.h"
#include "common/options.h"
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
    // No regular file: a FIFO (which would wait for a writer), a device
    // that never ends, a folder.
    ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
    for (const std::string &odd : {dir.path + "/fifo", std::string("/dev/zero"), dir.path}) {
        text = "x";
        EXPECT_FALSE(memsweep::read_file(odd, &text)) << odd;
        EXPECT_EQ(text, "") << odd;
        EXPECT_FALSE(memsweep::read_value(odd, &text)) << odd;
    }
}

/* ---------------------------------------------------------------- the command line */

using memsweep::CommandLine;
using memsweep::Takes;

const std::vector<memsweep::OptionSpec> known = {
    {"-h", Takes::nothing}, {"--quiet", Takes::nothing}, {"-o", Takes::value},
    {"--json", Takes::value}, {"--out", Takes::optional}};

// words shows what was read, one "name=value", "name" or "operand" each.
std::vector<std::string> words(const CommandLine &line)
{
    std::vector<std::string> shown(line.words.size());
    std::transform(line.words.begin(), line.words.end(), shown.begin(), [](const memsweep::Word &w) {
        return w.name.empty() ? "[" + w.value + "]" : w.has_value ? w.name + "=" + w.value : w.name;
    });
    return shown;
}

CommandLine read(const std::vector<std::string> &args, bool operands = true)
{
    return memsweep::read_command_line(args, known, operands);
}

TEST(CommandLine, ValuesComeAfterAnEqualsSignOrAsTheNextWordWhateverItIs)
{
    CommandLine line = read({"--json=a=b", "--json", "--quiet", "-o", "-", "--quiet", "x", "-", ""});
    EXPECT_EQ(line.fault, "");
    EXPECT_EQ(words(line), (std::vector<std::string>{"--json=a=b", "--json=--quiet", "-o=-", "--quiet", "[x]",
                                                     "[-]", "[]"}));
    // A short option is matched whole: -o=x is no spelling of -o.
    EXPECT_EQ(read({"-o=x"}).fault, "unknown option: -o=x");
    EXPECT_EQ(read({"-ox"}).fault, "unknown option: -ox");
}

TEST(CommandLine, AnOptionalValueIsTakenOnlyAfterTheEqualsSign)
{
    EXPECT_EQ(words(read({"--out", "x", "--out=y", "--out=-"})),
              (std::vector<std::string>{"--out", "[x]", "--out=y", "--out=-"}));
    // Where the command takes no operands, the next word is refused with a
    // word on how the option takes a value.
    EXPECT_EQ(read({"--out", "x"}, false).fault,
              "unexpected argument: x (--out takes its value as --out=VALUE)");
    EXPECT_EQ(read({"-o", "--out", "--", "x"}, false).fault, "unexpected argument: x");
}

TEST(CommandLine, TwoDashesEndTheOptions)
{
    CommandLine line = read({"--quiet", "--", "--quiet", "--", "-o", "--bogus=1"});
    EXPECT_EQ(line.fault, "");
    EXPECT_EQ(words(line), (std::vector<std::string>{"--quiet", "[--quiet]", "[--]", "[-o]", "[--bogus=1]"}));
    // A "--" taken as a value ends nothing.
    EXPECT_EQ(words(read({"-o", "--", "--quiet"})), (std::vector<std::string>{"-o=--", "--quiet"}));
}

TEST(CommandLine, EachFaultIsNamedAndEndsTheWordsBeforeIt)
{
    for (const auto &[args, fault] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--quiet=yes"}, "--quiet takes no value"},
             {{"--quiet="}, "--quiet takes no value"},
             {{"-h", "--bogus=1"}, "unknown option: --bogus=1"},
             {{"--jso"}, "unknown option: --jso"},
             {{"---json"}, "unknown option: ---json"},
             {{"--json"}, "--json needs a value"},
             {{"-o"}, "-o needs a value"},
             {{"--json="}, "--json needs a value"},
             {{"-o", ""}, "-o needs a value"},
             {{"--out="}, "--out needs a value"},
             {{"x"}, "unexpected argument: x"},
             {{"--", "-h"}, "unexpected argument: -h"}}) {
        EXPECT_EQ(read(args, false).fault, fault) << args[0];
    }
    // Words before the fault are kept, so that a command obeys a --help
    // before it; none after it is read.
    CommandLine line = read({"--quiet", "-h", "--bogus", "--quiet"});
    EXPECT_EQ(words(line), (std::vector<std::string>{"--quiet", "-h"}));
    EXPECT_EQ(line.fault, "unknown option: --bogus");
}

TEST(CommandLine, AUsageErrorIsOneLineThenTheUsage)
{
    EXPECT_EQ(memsweep::usage_error("memsweep-x", "unknown option: --\x1b[2J\xc2\x9b\n", "usage: x\n"),
              "memsweep-x: unknown option: --?[2J??\nusage: x\n");
}

}  // namespace

TEST(NumberList, ReadsRangesAndSinglesAndRefusesAnythingElse)
{
    EXPECT_EQ(memsweep::number_list("0-3,8,10-11\n"), (std::vector<int>{0, 1, 2, 3, 8, 10, 11}));
    EXPECT_EQ(memsweep::number_list("5"), (std::vector<int>{5}));
    for (const char *bad : {"abc", "3-1", "1,,2", "-2", "1-2x", ""})
        EXPECT_TRUE(memsweep::number_list(bad).empty()) << bad;
    // Numbers too long for an int are refused, not wrapped round to small
    // ones (2^32 + 1 as CPU 1), and so is a CPU beyond the 2^20 a mask has.
    EXPECT_EQ(memsweep::number_list("1048575"), (std::vector<int>{1048575}));
    for (const char *bad : {"4294967297", "4294967297-4294967299", "0-4294967296", "99999999999999999999",
                            "1048576", "+1", "1-+2"})
        EXPECT_TRUE(memsweep::number_list(bad).empty()) << bad;
}
