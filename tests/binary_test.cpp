// SPDX-License-Identifier: MIT
// Checks on the built executable: its symbol table, its libraries, and the
// machine code of the read kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tools.h"

namespace {

const std::string exe = MEMSWEEP_EXE;

// symbols maps each name in the symbol table to its nm type letter; upper
// case letters are global, lower case private to their file.
std::map<std::string, char> symbols()
{
    Outcome o = run_shell("nm " + exe);
    EXPECT_EQ(o.status, 0) << o.err;
    std::map<std::string, char> table;
    for (const std::string &line : lines_of(o.out)) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(\s*[0-9a-f]*\s+(\w)\s+(\S+))")))
            table[m[2]] = m[1].str()[0];
    }
    return table;
}

TEST(Symbols, ExportTheInterfaceUnderPlainNamesAndHideTheRest)
{
    auto table = symbols();
    for (const char *fn : {"access_counter", "start_counter", "get_counter", "ovhd", "core_mhz", "mhz",
                           "mhz_full", "start_comp_counter", "get_comp_counter", "add_sample", "get_min",
                           "err", "has_converged", "fcyc2_full", "fcyc2", "start_counter_tod",
                           "get_counter_tod", "start_comp_counter_tod", "get_comp_counter_tod",
                           "fcyc2_full_tod", "fcyc2_tod", "main", "run", "test", "init_data"}) {
        ASSERT_TRUE(table.count(fn)) << fn;
        EXPECT_EQ(table[fn], 'T') << fn;
    }
    for (const char *var : {"data", "samplecount", "samples", "cpu_ghz"}) {
        ASSERT_TRUE(table.count(var)) << var;
        EXPECT_TRUE(table[var] == 'B' || table[var] == 'D') << var << " is " << table[var];
    }
    // The only global variables of the system's own are these four.
    std::set<std::string> globals;
    for (const auto &[name, type] : table)
        if (strchr("BDGRSV", type) && name[0] != '_' && name.find('@') == std::string::npos)
            globals.insert(name);
    EXPECT_EQ(globals, (std::set<std::string>{"cpu_ghz", "data", "samplecount", "samples"}));
    for (const char *hidden : {"values", "cyc_hi", "cyc_lo", "buf", "cyc_per_tick", "start_tick", "Mhz",
                               "tstart"}) {
        if (table.count(hidden)) {
            EXPECT_TRUE(islower(table[hidden])) << hidden << " is " << table[hidden];
        }
    }
}

// The library is built without exceptions or RTTI and main is C-style, so
// the executable needs the C library and nothing else, not even the C++
// runtime.
TEST(Libraries, AreTheCLibraryAlone)
{
    Outcome o = run_shell("readelf -d " + exe);
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> needed;
    std::regex entry(R"(.*\(NEEDED\).*\[(.*)\])");
    for (const std::string &line : lines_of(o.out)) {
        std::smatch m;
        if (std::regex_match(line, m, entry))
            needed.push_back(m[1]);
    }
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

struct Insn {
    unsigned long addr;
    std::string op;    // mnemonic
    std::string args;  // operands, AT&T order: destination last
};

// disassemble returns the code of one function, or of the whole program when
// function is empty.
std::vector<Insn> disassemble(const std::string &function)
{
    Outcome o = run_shell("objdump -d --no-show-raw-insn " + exe);
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<Insn> code;
    bool inside = false;
    for (const std::string &line : lines_of(o.out)) {
        if (!function.empty() && line.find("<" + function + ">:") != std::string::npos) {
            inside = true;
            continue;
        }
        if (!function.empty() && !inside)
            continue;
        if (!function.empty() && line.empty())
            break;
        std::smatch m;
        if (!std::regex_match(line, m, std::regex(R"(\s*([0-9a-f]+):\s+(\S+)\s*(.*))")))
            continue;
        // Padding comes with prefixes ("data16 cs nopw ..."): call it nop.
        std::string op = line.find("nop") != std::string::npos ? "nop" : m[2].str();
        code.push_back({std::stoul(m[1], nullptr, 16), op, m[3]});
    }
    return code;
}

bool is_memory(const std::string &operand)
{
    return operand.find('(') != std::string::npos;
}

// last_operand is the destination in AT&T syntax.
std::string last_operand(const std::string &args)
{
    std::string a = args.substr(0, args.find('#'));
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i] == '(') depth++;
        if (a[i] == ')') depth--;
        if (a[i] == ',' && depth == 0) start = i + 1;
    }
    std::string last = a.substr(start);
    last.erase(last.find_last_not_of(" \t") + 1);
    return last;
}

TEST(Kernel, MainLoopIsFourScalarLoadsIntoFourSumsAnIndexStepAndACompareAndBranch)
{
    std::vector<Insn> code = disassemble("test");
    ASSERT_FALSE(code.empty());

    std::set<std::string> saved = {"%rbx", "%rbp", "%r12", "%r13", "%r14", "%r15"};
    for (const Insn &in : code) {
        std::string text = in.op + " " + in.args;
        EXPECT_FALSE(std::regex_search(text, std::regex("%[xyz]mm|%mm[0-7]|%k[0-7]"))) << "SIMD: " << text;
        EXPECT_NE(in.op[0], 'v') << "vector instruction: " << text;
        EXPECT_EQ(in.op.find("call"), std::string::npos) << text;
        EXPECT_EQ(in.op.find("prefetch"), std::string::npos) << text;
        // The only writes to memory are the saves of callee-saved registers.
        if (in.op == "push") {
            EXPECT_TRUE(saved.count(in.args)) << text;
        } else if (in.op.rfind("cmp", 0) != 0 && in.op.rfind("test", 0) != 0 && in.op.rfind("nop", 0) != 0 &&
                   in.op.rfind("j", 0) != 0) {
            EXPECT_FALSE(is_memory(last_operand(in.args))) << "store: " << text;
        }
    }

    // Loops are the backward conditional branches; the main loop is the one
    // with more than one load.
    std::vector<Insn> body;
    for (size_t j = 0; j < code.size(); j++) {
        if (code[j].op[0] != 'j' || code[j].op == "jmp")
            continue;
        unsigned long target = std::stoul(code[j].args, nullptr, 16);
        if (target >= code[j].addr)
            continue;
        std::vector<Insn> loop;
        for (size_t i = 0; i <= j; i++)
            if (code[i].addr >= target)
                loop.push_back(code[i]);
        if (std::count_if(loop.begin(), loop.end(), [](const Insn &in) { return is_memory(in.args); }) > 1)
            body = loop;
    }
    ASSERT_EQ(body.size(), 7u) << "main loop not found or not seven instructions";

    std::set<std::string> sums, indices;
    for (int i = 0; i < 4; i++) {
        std::smatch m;
        std::string text = body[i].op + " " + body[i].args;
        ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(add\s+\(%\w+,(%\w+),8\),(%r\w+))"))) << text;
        indices.insert(m[1]);
        sums.insert(m[2]);
    }
    EXPECT_EQ(sums.size(), 4u) << "the four sums must be independent registers";
    ASSERT_EQ(indices.size(), 1u) << "all four loads must use one index";
    std::string index = *indices.begin();
    EXPECT_FALSE(sums.count(index));
    EXPECT_EQ(body[4].op, "add");
    EXPECT_EQ(last_operand(body[4].args), index) << "the index step";
    EXPECT_EQ(body[5].op, "cmp");
    EXPECT_NE(body[5].args.find(index), std::string::npos);
    EXPECT_EQ(body[6].op[0], 'j');
}

// A timed window runs from the start of the cycle counter, plain or
// compensated, to its reading.  In the measuring loop it holds the measured
// call and the moves of its two arguments into registers, and nothing else:
// no load, no store, no other call.  (The time-of-day reading is inlined, and
// one microsecond is far coarser than anything it could add.)
TEST(TimedWindow, HoldsTheMeasuredCallAndItsArgumentsAlone)
{
    std::vector<Insn> code = disassemble("");
    std::regex start(R"(<start_((comp_)?counter)>)");
    std::regex reg_move(R"(%\w+,%\w+)");
    int windows = 0;
    for (size_t i = 0; i < code.size(); i++) {
        std::smatch m;
        if (code[i].op != "call" || !std::regex_search(code[i].args, m, start))
            continue;
        size_t j = i + 1;
        while (j < code.size() && code[j].op.rfind("call", 0) != 0)
            j++;
        // Only windows around a call through a pointer time a function.
        if (j + 1 >= code.size() || code[j].args.rfind("*%", 0) != 0)
            continue;
        windows++;
        for (size_t k = i + 1; k < j; k++)
            EXPECT_TRUE(code[k].op == "mov" && std::regex_match(code[k].args, reg_move))
                << "in the window at " << std::hex << code[i].addr << ": " << code[k].op << " " << code[k].args;
        EXPECT_NE(code[j + 1].args.find("<get_" + m[1].str() + ">"), std::string::npos)
            << "the window at " << std::hex << code[i].addr << " ends in " << code[j + 1].args;
    }
    EXPECT_GE(windows, 2) << "the measuring loops' windows were not found";
}

}  // namespace
