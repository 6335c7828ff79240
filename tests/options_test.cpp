// SPDX-License-Identifier: MIT
// memsweep-record's command line in-process, and the helpers the commands
// share for their messages and their standard descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/shown.h"
#include "common/std_fds.h"
#include "record/options.h"

namespace
{

using record::parse_options;
using record::Parsed;

TEST(Options, TakesEachValueAsTheNextWordOrAfterAnEqualsSign)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-o", "r=1.json", "--passes", "100", "--seed", "9007199254740991", "--cpu",
                                   "0", "--pages", "huge", "--quiet", "--no-latency"},
          std::vector<std::string>{"--json=r=1.json", "--passes=100", "--seed=9007199254740991", "--cpu=0",
                                   "--pages=huge", "--quiet", "--no-latency"}}) {
        Parsed p = parse_options(args);
        ASSERT_EQ(p.status, -1) << p.text;
        EXPECT_EQ(p.options.out, "r=1.json");
        EXPECT_EQ(p.options.passes, 100);
        EXPECT_TRUE(p.options.seed_given);
        EXPECT_EQ(p.options.seed, record::seed_limit - 1);
        EXPECT_EQ(p.options.cpu, 0);
        EXPECT_EQ(p.options.pages, machine::Pages::huge);
        EXPECT_TRUE(p.options.quiet);
        EXPECT_FALSE(p.options.latency);
    }
    EXPECT_EQ(parse_options({"--pages", "small"}).options.pages, machine::Pages::small);
    // The plane: on by default at the default counts; counts as given, max
    // standing for the CPUs allowed, which the session counts.
    EXPECT_TRUE(parse_options({}).options.bandwidth);
    EXPECT_TRUE(parse_options({}).options.threads.empty());
    EXPECT_FALSE(parse_options({"--no-bandwidth"}).options.bandwidth);
    EXPECT_EQ(parse_options({"--threads", "1,2,8"}).options.threads, (std::vector<int>{1, 2, 8}));
    EXPECT_EQ(parse_options({"--threads=max"}).options.threads, (std::vector<int>{record::all_cpus}));
    EXPECT_EQ(parse_options({"--threads", "1,max"}).options.threads, (std::vector<int>{1, record::all_cpus}));
    EXPECT_EQ(parse_options({"--passes=1"}).options.passes, 1);
    // The plane's end, for tests: a power of two of bytes with its unit.
    EXPECT_EQ(parse_options({}).options.plane_upto, 0u);
    EXPECT_EQ(parse_options({"--plane-upto", "16K"}).options.plane_upto, 16384u);
    EXPECT_EQ(parse_options({"--plane-upto=4M"}).options.plane_upto, uint64_t(4) << 20);
    EXPECT_EQ(parse_options({"--plane-upto", "1G"}).options.plane_upto, uint64_t(1) << 30);
    EXPECT_TRUE(parse_options({}).options.fresh_pages);
    EXPECT_FALSE(parse_options({"--same-pages"}).options.fresh_pages);
    EXPECT_TRUE(parse_options({"--same-pages", "--fresh-pages"}).options.fresh_pages);
    // A later word wins, as with most commands.
    EXPECT_EQ(parse_options({"-o", "a", "-o", "b"}).options.out, "b");
    // "-" is standard output; after "--" nothing is an option.
    EXPECT_EQ(parse_options({"--json", "-"}).options.out, "-");
    EXPECT_EQ(parse_options({"--quiet", "--"}).status, -1);
}

TEST(Options, HelpGoesToStandardOutputWithStatusZero)
{
    for (const char *help : {"-h", "--help"}) {
        Parsed p = parse_options({"--passes", "3", help, "--bogus"});
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.text.rfind("usage: memsweep-record", 0), 0u) << p.text;
    }
}

TEST(Options, ABadCommandLineIsAUsageErrorOfOneLineThenTheUsage)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"extra"},
                                               {"-o"},
                                               {"-o", ""},
                                               {"--json="},
                                               {"--passes", "0"},
                                               {"--passes", "101"},
                                               {"--passes", "abc"},
                                               {"--passes", "+5"},
                                               {"--passes"},
                                               {"--seed", "-1"},
                                               {"--seed", "9007199254740992"},
                                               {"--seed", "99999999999999999999"},
                                               {"--cpu", "-1"},
                                               {"--cpu", "2147483648"},
                                               {"--pages", "big"},
                                               {"--pages="},
                                               {"--threads", "0"},
                                               {"--threads", "abc"},
                                               {"--threads", "1,,2"},
                                               {"--threads", "2,"},
                                               {"--threads", "-1"},
                                               {"--threads", "1048577"},
                                               {"--threads="},
                                               {"--threads"},
                                               {"--plane-upto", "8K"},
                                               {"--plane-upto", "2G"},
                                               {"--plane-upto", "48K"},
                                               {"--plane-upto", "65536"},
                                               {"--plane-upto", "0K"},
                                               {"--plane-upto", "K"},
                                               {"--plane-upto", "64k"},
                                               {"--plane-upto", "1099511627776G"},
                                               {"--no-bandwidth=yes"},
                                               {"--quiet=yes"},
                                               {"--", "--quiet"}}) {
        Parsed p = parse_options(args);
        std::string shown = args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(p.status, 2) << shown;
        EXPECT_EQ(p.text.rfind("memsweep-record: ", 0), 0u) << shown << ": " << p.text;
        size_t end = p.text.find('\n');
        EXPECT_EQ(p.text.compare(end, 23, "\nusage: memsweep-record"), 0) << shown << ": " << p.text;
    }
}

// A terminal obeys C1 controls as it obeys C0 ones: CSI (U+009B) as
// ESC [, whether as UTF-8 or as the raw byte.  None reaches it from an
// argument, and other scripts pass as they are.
TEST(Shown, ControlCharactersOfEveryKindBecomeOneQuestionMarkEach)
{
    EXPECT_EQ(shown_line("a\x1b[2Jb\r\n\t\x7f"), "a?[2Jb????");
    EXPECT_EQ(shown_line(std::string("\0x", 2)), "?x");
    EXPECT_EQ(shown_line("\xc2\x9b"
                         "2J \xc2\x80\xc2\x9f"),
              "?2J ??");
    EXPECT_EQ(shown_line("\x9b"
                         "2J"),
              "?2J");
    // Not well-formed: a lone lead byte, an overlong NUL, a surrogate, a
    // code point above U+10FFFF, a sequence cut short at the end.
    EXPECT_EQ(shown_line("\xc3x \xc0\x80 \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82"), "?x ?? ??? ???? ??");
    // Kept: Latin-1's own letters past the C1 range, U+00A0 and up, other
    // scripts, and the largest code point.
    std::string kept =
        "\xc2\xa0\xc3\xa9 \xd1\x80\xd0\xa8 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf r.json";
    EXPECT_EQ(shown_line(kept), kept);
}

TEST(Options, UsageErrorsShowAnArgumentsControlCharactersAsQuestionMarks)
{
    Parsed p =
        parse_options({"--\x1b]0;x\x07\xc2\x9b"
                       "31m\x9b"
                       "2J\xd1\x80"});
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.text.substr(0, p.text.find('\n')),
              "memsweep-record: unknown option: --?]0;x??31m?2J\xd1\x80");
}

// With a standard descriptor closed, the first file a command opens would
// take its number: each closed one of 0, 1 and 2 is opened on /dev/null,
// and an open one is left as it is.
TEST(StdFds, EachClosedOneIsOpenedOnDevNullAndTheOthersKept)
{
    struct stat null_st {
    };
    ASSERT_EQ(stat("/dev/null", &null_st), 0);
    for (int open_one = 0; open_one <= 2; open_one++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int pipe_fds[2];
            if (pipe(pipe_fds) != 0 || dup2(pipe_fds[1], 10) != 10)
                _exit(99);
            for (int fd = 0; fd <= 2; fd++)
                if (fd != open_one)
                    close(fd);
            /* The one left open is the pipe. */
            if (dup2(10, open_one) != open_one)
                _exit(98);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
            open_std_fds();
            int status = 0;
            for (int fd = 0; fd <= 2; fd++) {
                struct stat st {
                };
                if (fstat(fd, &st) != 0 ||
                    (fcntl(fd, F_GETFL) & O_ACCMODE) != (fd == open_one ? O_WRONLY : O_RDWR))
                    status |= 1 << fd;
                else if ((fd == open_one) == (st.st_rdev == null_st.st_rdev && S_ISCHR(st.st_mode)))
                    status |= 8 << fd;
            }
            /* The next file opened gets a number of its own. */
            if (open("/dev/null", O_RDONLY) <= 2)
                status |= 64;
            _exit(status);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "fd " << open_one << " left open";
    }
}

}  // namespace
