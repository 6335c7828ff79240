// SPDX-License-Identifier: MIT
// The commands' command lines, from outside: memsweep-check, memsweep-record
// and memsweep-compare name the same fault in the same words, then their
// usage, with exit status 2 and nothing on standard output.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools.h"

namespace
{

struct Command {
    std::string name, run;  /* the command's name; how to run it */
    std::string flag;     /* an option that takes no value */
    std::string value;    /* one that takes a value */
    std::string operands; /* enough operands for the command to go on */
};

std::vector<Command> commands()
{
    std::vector<Command> list;
#ifdef MEMSWEEP_CHECK_EXE
    list.push_back({"memsweep-check", quote(MEMSWEEP_CHECK_EXE), "--help", "--root", ""});
#endif
#ifdef MEMSWEEP_RECORD_SCRIPTED_EXE
    // Stopped at its first measurement, should it get that far.
    list.push_back({"memsweep-record", "MEMSWEEP_FAKE_STOP_AFTER=1 " + quote(MEMSWEEP_RECORD_SCRIPTED_EXE),
                    "--quiet", "--passes", ""});
#endif
#ifdef MEMSWEEP_COMPARE_EXE
    list.push_back({"memsweep-compare", quote(MEMSWEEP_COMPARE_EXE), "--across-machines", "--alpha", "a b"});
#endif
    return list;
}

TEST(Commands, EveryCommandNamesTheSameFaultInTheSameWords)
{
    ASSERT_FALSE(commands().empty());
    // cppcheck-suppress knownEmptyContainer ; the commands come in by the build's definitions
    for (const Command &c : commands()) {
        for (const auto &[args, fault] : std::vector<std::pair<std::string, std::string>>{
                 {"--bogus " + c.operands, "unknown option: --bogus"},
                 {"--bogus=1 " + c.operands, "unknown option: --bogus=1"},
                 {c.operands + " " + c.flag + "=yes", c.flag + " takes no value"},
                 {c.operands + " " + c.value, c.value + " needs a value"},
                 {c.value + "= " + c.operands, c.value + " needs a value"},
                 {c.value + " '' " + c.operands, c.value + " needs a value"}}) {
            Outcome o = run_shell(c.run + " " + args);
            EXPECT_EQ(o.status, 2) << c.name << " " << args;
            EXPECT_EQ(o.err.substr(0, o.err.find('\n')), c.name + ": " + fault) << args;
            EXPECT_NE(o.err.find("\nusage: " + c.name + " "), std::string::npos) << o.err;
            EXPECT_EQ(o.out, "") << c.name << " " << args;
        }
        if (c.operands.empty()) {
            // No operands: one after "--" is refused as any other is.
            for (const char *args : {"extra", "-- extra", "-- --bogus"}) {
                Outcome o = run_shell(c.run + " " + args);
                EXPECT_EQ(o.status, 2) << c.name << " " << args;
                std::string operand = std::string(args).substr(std::string(args).rfind(' ') + 1);
                EXPECT_EQ(o.err.substr(0, o.err.find('\n')), c.name + ": unexpected argument: " + operand);
            }
        }
    }
}

}  // namespace
