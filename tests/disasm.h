// SPDX-License-Identifier: MIT
// Machine code for tests: objdump's disassembly of a program or of an
// archive's objects, and the checks that more than one test makes on it.
#ifndef MEMSWEEP_TESTS_DISASM_H
#define MEMSWEEP_TESTS_DISASM_H

#include <regex>
#include <string>
#include <vector>

#include "tools.h"

struct Insn {
    unsigned long addr;
    std::string op;      // mnemonic; "nop" for any padding
    std::string args;    // operands, AT&T order: destination last
    std::string target;  // what a call or jump names: a function, or "" if none
};

// disassemble returns the code of the first function of that name in file,
// or of the whole file when function is empty.  In an archive's objects a
// call's target is still a relocation; it is named all the same.
#ifndef MEMSWEEP_OBJDUMP
#define MEMSWEEP_OBJDUMP "objdump"  // the target's objdump; a cross build names its own
#endif

inline std::vector<Insn> disassemble(const std::string &file, const std::string &function = "")
{
    Outcome o = run_shell(std::string(MEMSWEEP_OBJDUMP) + " -dr --no-show-raw-insn " + quote(file));
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<Insn> code;
    bool inside = function.empty();
    const std::regex insn(R"(\s*([0-9a-f]+):\s+(\S+)\s*(.*))");
    const std::regex reloc(R"(\s*[0-9a-f]+: R_X86_64_\w+\s+([\w.]+).*)");
    const std::regex named(R"(<([\w.]+)(\+0x[0-9a-f]+)?>)");
    for (const std::string &line : lines_of(o.out)) {
        if (!function.empty() && line.find("<" + function + ">:") != std::string::npos) {
            inside = true;
            continue;
        }
        if (!inside)
            continue;
        if (!function.empty() && line.empty())
            break;
        std::smatch m;
        if (std::regex_match(line, m, reloc)) {
            if (!code.empty() && (code.back().op == "call" || code.back().op == "jmp"))
                code.back().target = m[1];
            continue;
        }
        if (!std::regex_match(line, m, insn))
            continue;
        // Padding comes with prefixes ("data16 cs nopw ..."): call it nop.
        std::string op = line.find("nop") != std::string::npos ? "nop" : m[2].str();
        Insn in{std::stoul(m[1], nullptr, 16), op, m[3], ""};
        std::smatch n;
        if (std::regex_search(in.args, n, named))
            in.target = n[1];
        code.push_back(in);
    }
    return code;
}

// is_memory tells whether an operand list names memory: "(%rax)" in
// x86-64's AT&T syntax, "[x0]" in 64-bit Arm's.
inline bool is_memory(const std::string &operands)
{
    return operands.find('(') != std::string::npos || operands.find('[') != std::string::npos;
}

// last_operand is the destination in AT&T syntax.
inline std::string last_operand(const std::string &args)
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

// expect_lean_windows checks every timed window in code: from a call of
// start_counter or start_comp_counter to the reading that ends it, the
// window holds one call through a register (the measured function) and no
// instruction that reads or writes memory -- no load, no store, no push or
// pop, no other call.  Which registers the arguments move through is the
// compiler's choice and is not checked.  It returns the number of windows.
inline int expect_lean_windows(const std::vector<Insn> &code, const std::string &where)
{
    int windows = 0;
    for (size_t i = 0; i < code.size(); i++) {
        const std::string &t = code[i].target;
        if (code[i].op != "call" || (t != "start_counter" && t != "start_comp_counter"))
            continue;
        size_t j = i + 1;
        while (j < code.size() && code[j].op != "call")
            j++;
        // Only windows around a call through a pointer time a function.
        if (j + 1 >= code.size() || code[j].args.rfind("*%", 0) != 0)
            continue;
        windows++;
        for (size_t k = i + 1; k < j; k++) {
            const Insn &in = code[k];
            bool touches_memory = (is_memory(in.args) && in.op != "lea") || in.op.rfind("push", 0) == 0 ||
                                  in.op.rfind("pop", 0) == 0;
            EXPECT_FALSE(touches_memory) << where << ": in the window at " << std::hex << code[i].addr << ": "
                                         << in.op << " " << in.args;
        }
        EXPECT_EQ(code[j + 1].target, "get_" + t.substr(6))
            << where << ": the window at " << std::hex << code[i].addr << " ends in " << code[j + 1].op << " "
            << code[j + 1].args;
    }
    return windows;
}

#endif
