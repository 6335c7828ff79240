// SPDX-License-Identifier: MIT
// Checks on the built executable: its symbol table, its libraries, and the
// machine code of the read kernel and of memsweep-record's chase kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "disasm.h"
#include "tools.h"

namespace {

const std::string exe = MEMSWEEP_EXE;
const std::string archive = MEMSWEEP_TIMING_ARCHIVE;

// symbols maps each name that file defines to its nm type letter; upper
// case letters are global, lower case private to their file.
std::map<std::string, char> symbols(const std::string &file)
{
    Outcome o = run_shell("nm --defined-only " + quote(file));
    EXPECT_EQ(o.status, 0) << o.err;
    std::map<std::string, char> table;
    for (const std::string &line : lines_of(o.out)) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(\s*[0-9a-f]*\s+(\w)\s+(\S+))")))
            table[m[2]] = m[1].str()[0];
    }
    return table;
}

// The library's interface, in memsweep and in the installed archive alike;
// the sweep's own four names are memsweep's alone.
TEST(Symbols, ExportTheInterfaceUnderPlainNamesAndHideTheRest)
{
    const std::vector<const char *> library = {
        "access_counter", "start_counter", "get_counter", "ovhd", "core_mhz", "mhz", "mhz_full",
        "start_comp_counter", "get_comp_counter", "add_sample", "get_min", "err", "has_converged",
        "fcyc2_full", "fcyc2", "start_counter_tod", "get_counter_tod", "start_comp_counter_tod",
        "get_comp_counter_tod", "fcyc2_full_tod", "fcyc2_tod"};
    for (const std::string &file : {exe, archive}) {
        auto table = symbols(file);
        std::vector<const char *> functions = library, variables = {"samplecount", "samples", "cpu_ghz"};
        if (file == exe) {
            functions.insert(functions.end(), {"main", "run", "test", "init_data"});
            variables.push_back("data");
        }
        for (const char *fn : functions) {
            ASSERT_TRUE(table.count(fn)) << file << ": " << fn;
            EXPECT_EQ(table[fn], 'T') << file << ": " << fn;
        }
        for (const char *var : variables) {
            ASSERT_TRUE(table.count(var)) << file << ": " << var;
            EXPECT_TRUE(table[var] == 'B' || table[var] == 'D') << file << ": " << var << " is " << table[var];
        }
        // The only global variables of the system's own are these.
        std::set<std::string> globals;
        for (const auto &[name, type] : table)
            if (strchr("BDGRSV", type) && name[0] != '_' && name.find('@') == std::string::npos)
                globals.insert(name);
        EXPECT_EQ(globals, std::set<std::string>(variables.begin(), variables.end())) << file;
        for (const char *hidden : {"values", "cyc_hi", "cyc_lo", "buf", "cyc_per_tick", "start_tick", "Mhz",
                                   "tstart"}) {
            if (table.count(hidden)) {
                EXPECT_TRUE(islower(table[hidden])) << file << ": " << hidden << " is " << table[hidden];
            }
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

// backward_loops returns the loops of code: for each backward conditional
// branch, the instructions from its target to it.
std::vector<std::vector<Insn>> backward_loops(const std::vector<Insn> &code)
{
    std::vector<std::vector<Insn>> loops;
    for (size_t j = 0; j < code.size(); j++) {
        // x86-64's conditional jumps; 64-bit Arm's "b.cond" (its address first)
        bool conditional = (code[j].op[0] == 'j' && code[j].op != "jmp") || code[j].op.rfind("b.", 0) == 0;
        if (!conditional)
            continue;
        unsigned long target = std::stoul(code[j].args, nullptr, 16);
        if (target >= code[j].addr)
            continue;
        std::vector<Insn> loop;
        for (size_t i = 0; i <= j; i++)
            if (code[i].addr >= target)
                loop.push_back(code[i]);
        loops.push_back(loop);
    }
    return loops;
}

#if defined(__x86_64__)
TEST(Kernel, MainLoopIsFourScalarLoadsIntoFourSumsAnIndexStepAndACompareAndBranch)
{
    std::vector<Insn> code = disassemble(exe, "test");
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

    // The main loop is the one with more than one load.
    std::vector<Insn> body;
    for (const std::vector<Insn> &loop : backward_loops(code))
        if (std::count_if(loop.begin(), loop.end(), [](const Insn &in) { return is_memory(in.args); }) > 1)
            body = loop;
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

// The chase measures load-to-use latency only while each load waits for the
// one before it: every load in the loop takes its address from the register
// the previous load (round the loop, for the first) wrote, and from nothing
// else; nothing else writes that register, reads or writes memory, or
// prefetches.  The final address is the result, so the loads can't go.
TEST(Kernel, ChaseLoopIsOneChainOfDependentLoadsWhoseEndIsTheResult)
{
#ifndef MEMSWEEP_RECORD_EXE
    GTEST_SKIP() << "memsweep-record is not built";
#else
    std::vector<Insn> code = disassemble(MEMSWEEP_RECORD_EXE, "chase");
    ASSERT_FALSE(code.empty());
    for (const Insn &in : code) {
        std::string text = in.op + " " + in.args;
        EXPECT_EQ(in.op.find("call"), std::string::npos) << text;
        EXPECT_EQ(in.op.find("prefetch"), std::string::npos) << text;
        EXPECT_FALSE(std::regex_search(text, std::regex("%[xyz]mm|%k[0-7]"))) << "SIMD: " << text;
    }
    std::vector<std::vector<Insn>> loops = backward_loops(code);
    ASSERT_EQ(loops.size(), 1u) << "one loop";
    const std::vector<Insn> &body = loops[0];

    std::vector<std::string> chain;  // each load's destination, in order
    std::vector<std::string> bases;  // each load's address register
    for (const Insn &in : body) {
        std::string text = in.op + " " + in.args;
        if (in.op == "nop" || in.op[0] == 'j')
            continue;
        std::smatch m;
        if (is_memory(in.args)) {
            ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(mov\s+(?:0x[0-9a-f]+)?\((%r\w+)\),(%r\w+))")))
                << "not a plain load through one register: " << text;
            bases.push_back(m[1]);
            chain.push_back(m[2]);
        }
    }
    ASSERT_FALSE(chain.empty()) << "no load in the loop";
    for (size_t i = 0; i < chain.size(); i++)
        EXPECT_EQ(bases[i], chain[(i + chain.size() - 1) % chain.size()])
            << "load " << i << " does not take its address from the load before it";
    // Nothing but the loads writes the chain's registers.
    std::set<std::string> links(chain.begin(), chain.end());
    for (const Insn &in : body)
        if (!is_memory(in.args) && in.op[0] != 'j' && in.op != "nop") {
            EXPECT_FALSE(links.count(last_operand(in.args))) << "the chain is written by " << in.op << " " << in.args;
        }

    // After the loop, the last load's register is the result: it is %rax,
    // or it is moved into %eax or %rax, by any of its names, before the
    // return.  (A 32-bit name, %ecx or %r8d, is the same register.)
    auto family = [](std::string reg) {
        if (reg.size() == 4 && reg.compare(0, 2, "%e") == 0)
            return "%r" + reg.substr(2);
        if (reg.size() > 3 && reg.back() == 'd' && isdigit((unsigned char)reg[reg.size() - 2]))
            reg.pop_back();
        return reg;
    };
    std::string end = chain.back();
    bool result = end == "%rax";
    for (const Insn &in : code) {
        std::string source = in.args.substr(0, in.args.find(','));
        if (in.addr > body.back().addr && in.op == "mov" && family(source) == end &&
            family(last_operand(in.args)) == "%rax")
            result = true;
    }
    EXPECT_TRUE(result) << "the final address is not the result";
#endif
}

#elif defined(__aarch64__)

// 64-bit Arm's loads can't add to memory: the main loop is four loads, each
// into a scratch register of its own and added into its stream's sum, all
// four by one index scaled by 8, then the index step, the compare and the
// branch; eleven instructions, and no vector register anywhere.
TEST(Kernel, MainLoopIsFourScalarLoadsIntoFourSumsAnIndexStepAndACompareAndBranch)
{
    std::vector<Insn> code = disassemble(exe, "test");
    ASSERT_FALSE(code.empty());
    for (const Insn &in : code) {
        std::string text = in.op + " " + in.args;
        EXPECT_FALSE(std::regex_search(in.args, std::regex(R"(\b[vqzdsbh][0-9]+\b)"))) << "SIMD: " << text;
        EXPECT_NE(in.op, "bl") << text;
        EXPECT_EQ(in.op.find("prfm"), std::string::npos) << text;
        EXPECT_EQ(in.op.rfind("st", 0), std::string::npos) << "store: " << text;
    }
    std::vector<Insn> body;
    for (const std::vector<Insn> &loop : backward_loops(code))
        if (std::count_if(loop.begin(), loop.end(), [](const Insn &in) { return in.op == "ldr"; }) > 1)
            body = loop;
    ASSERT_EQ(body.size(), 11u) << "main loop not found or not eleven instructions";
    std::set<std::string> sums, indices, scratch;
    for (int k = 0; k < 4; k++) {
        std::smatch load, add;
        std::string l = body[2 * k].op + " " + body[2 * k].args;
        std::string a = body[2 * k + 1].op + " " + body[2 * k + 1].args;
        ASSERT_TRUE(std::regex_match(l, load, std::regex(R"(ldr\s+(x\d+), \[x\d+, (x\d+), lsl #3\])"))) << l;
        ASSERT_TRUE(std::regex_match(a, add, std::regex(R"(add\s+(x\d+), (x\d+), (x\d+))"))) << a;
        EXPECT_EQ(add[1], add[2]) << a;
        EXPECT_EQ(add[3], load[1]) << "the add takes its own load: " << a;
        scratch.insert(load[1]);
        indices.insert(load[2]);
        sums.insert(add[1]);
    }
    EXPECT_EQ(sums.size(), 4u) << "the four sums must be independent registers";
    EXPECT_EQ(scratch.size(), 4u);
    ASSERT_EQ(indices.size(), 1u) << "all four loads must use one index";
    std::string index = *indices.begin();
    EXPECT_EQ(body[8].op, "add");
    EXPECT_EQ(body[8].args.rfind(index + ",", 0), 0u) << "the index step: " << body[8].args;
    EXPECT_EQ(body[9].op, "cmp");
    EXPECT_EQ(body[9].args.rfind(index + ",", 0), 0u);
    EXPECT_EQ(body[10].op, "b.lt");
}

// The chase: one load whose address register is its destination, the count
// step and the branch; the final address is the result (x0).
TEST(Kernel, ChaseLoopIsOneChainOfDependentLoadsWhoseEndIsTheResult)
{
#ifndef MEMSWEEP_RECORD_EXE
    GTEST_SKIP() << "memsweep-record is not built";
#else
    std::vector<Insn> code = disassemble(MEMSWEEP_RECORD_EXE, "chase");
    ASSERT_FALSE(code.empty());
    std::vector<std::vector<Insn>> loops = backward_loops(code);
    ASSERT_EQ(loops.size(), 1u) << "one loop";
    std::vector<Insn> body;
    std::copy_if(loops[0].begin(), loops[0].end(), std::back_inserter(body),
                 [](const Insn &in) { return in.op != "nop"; });
    ASSERT_EQ(body.size(), 3u);
    std::smatch m;
    std::string load = body[0].op + " " + body[0].args;
    ASSERT_TRUE(std::regex_match(load, m, std::regex(R"(ldr\s+(x\d+), \[(x\d+)\])"))) << load;
    EXPECT_EQ(m[1], m[2]) << "the load's address is the load before it";
    EXPECT_EQ(m[1], "x0") << "the final address is the result";
    EXPECT_EQ(body[1].op, "subs");
    EXPECT_EQ(body[1].args.find(m[1].str()), std::string::npos) << "the count is not the chain";
    EXPECT_EQ(body[2].op, "b.ne");
#endif
}

#endif

// A timed window runs from the start of the cycle counter, plain or
// compensated, to its reading: it holds the measured call and nothing that
// reads or writes memory, in memsweep and in the library users link, alike.
// (The time-of-day reading is inlined, and one microsecond is far coarser
// than anything it could add.)
#if defined(__x86_64__)
TEST(TimedWindow, HoldsTheMeasuredCallAndNoLoadOrStoreInMemsweepAndInTheLibrary)
{
    EXPECT_GE(expect_lean_windows(disassemble(exe), exe), 2) << "memsweep's windows were not found";
    EXPECT_GE(expect_lean_windows(disassemble(archive), archive), 2) << "the library's windows were not found";
}

#endif

}  // namespace
