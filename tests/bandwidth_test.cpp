// SPDX-License-Identifier: MIT
// The bandwidth library: its kernels' machine code and what they touch, the
// instruction set on made-up processors, the working sets, the CPUs' order
// and the cgroup's quota on made-up sysfs trees, the clock's choice, and the
// team of pinned threads on this machine (no figure is judged).
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "bandwidth/bandwidth.h"
#include "clock/clock.h"
#include "clock/tsc.h"
#include "common/memory.h"
#include "disasm.h"
#include "machine/machine.h"
#include "sweep/sweep.h"

namespace {

using bandwidth::Isa;
using bandwidth::Kernel;

const uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;

// The forms of every kernel that this processor runs.
std::vector<bandwidth::Choice> runnable()
{
    std::vector<bandwidth::Choice> all;
    for (Kernel k : bandwidth::all_kernels())
        for (Isa isa : bandwidth::isas()) {
            bandwidth::Choice c = bandwidth::choose(k, isa, bandwidth::best_isa());
            if (c.fn != nullptr)
                all.push_back(c);
            if (k == Kernel::scalar_read || k == Kernel::zero)
                break;  // one form, whatever the set
        }
    return all;
}

// narrowest is a kernel's narrowest form, which every processor of the
// architecture runs.
bw_kernel_fn narrowest(Kernel k)
{
    return bandwidth::choose(k, bandwidth::isas().front(), bandwidth::best_isa()).fn;
}

std::string name_of(const bandwidth::Choice &c)
{
    return std::string(bandwidth::kernel_name(c.kernel)) + (c.isa.empty() ? "" : " " + c.isa);
}

// ====================== Machine code ======================

std::string self_exe()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// loops_of returns the bodies of a function's backward branches, in
// address order: each from the branch's target to the branch itself.
std::vector<std::vector<Insn>> loops_of(const std::vector<Insn> &code)
{
    std::vector<std::vector<Insn>> loops;
    for (const Insn &in : code) {
        // x86-64's conditional jumps, 64-bit Arm's "b.cond"
        bool conditional = (!in.op.empty() && in.op[0] == 'j' && in.op != "jmp") || in.op.rfind("b.", 0) == 0;
        if (!conditional)
            continue;
        unsigned long to = std::stoul(in.args.substr(0, in.args.find(' ')), nullptr, 16);
        if (to >= in.addr)
            continue;
        loops.emplace_back();
        for (const Insn &body : code)
            if (body.addr >= to && body.addr <= in.addr)
                loops.back().push_back(body);
    }
    return loops;
}

#if defined(__x86_64__)

struct Moves {
    int loads = 0, stores = 0, wrong_width = 0, other_memory = 0;
};

// moves_of counts the loop's vector loads and stores (memory first: a load,
// memory last: a store) and those whose register is not of the width.
Moves moves_of(const std::vector<Insn> &loop, const std::string &width)
{
    Moves m;
    for (const Insn &in : loop) {
        if (!is_memory(in.args))
            continue;
        bool vector = in.args.find("mm") != std::string::npos;
        if (!vector) {
            m.other_memory++;
            continue;
        }
        if (in.args.find("%" + width) == std::string::npos)
            m.wrong_width++;
        if (is_memory(last_operand(in.args)))
            m.stores++;
        else
            m.loads++;
    }
    return m;
}

TEST(BandwidthKernelCode, VectorLoopsHoldExactlyTheirLoadsAndStoresOfTheirWidth)
{
    const std::string exe = self_exe();
    for (const bandwidth::Choice &c : runnable()) {
        if (c.kernel == Kernel::scalar_read || c.kernel == Kernel::zero)
            continue;
        std::string fn = "bw_" + std::regex_replace(std::string(bandwidth::kernel_name(c.kernel)), std::regex("-"), "_") +
                         "_" + c.isa;
        std::vector<Insn> code = disassemble(exe, fn);
        ASSERT_FALSE(code.empty()) << fn;
        for (const Insn &in : code) {
            EXPECT_NE(in.op, "call") << fn << " calls " << in.target;
            EXPECT_EQ(in.op.find("prefetch"), std::string::npos) << fn;
        }
        std::string width = c.isa == "avx512" ? "zmm" : c.isa == "avx2" ? "ymm" : "xmm";
        std::vector<std::vector<Insn>> loops = loops_of(code);
        ASSERT_EQ(loops.size(), 1u) << fn;
        const std::vector<Insn> &loop = loops[0];
        Moves m = moves_of(loop, width);
        int loads = c.kernel == Kernel::vector_read || c.kernel == Kernel::copy ? 8 : 0;
        int stores = c.kernel == Kernel::vector_read ? 0 : 8;
        EXPECT_EQ(m.loads, loads) << fn;
        EXPECT_EQ(m.stores, stores) << fn;
        EXPECT_EQ(m.wrong_width, 0) << fn;
        EXPECT_EQ(m.other_memory, 0) << fn;
        int streaming = (int)std::count_if(loop.begin(), loop.end(),
                                           [](const Insn &in) { return in.op.find("movnt") != std::string::npos; });
        EXPECT_EQ(streaming, c.kernel == Kernel::nt_write ? 8 : 0) << fn;
        bool fenced = std::any_of(code.begin(), code.end(), [](const Insn &in) { return in.op == "sfence"; });
        EXPECT_EQ(fenced, c.kernel == Kernel::nt_write) << fn;
    }
}

#elif defined(__aarch64__)

// bytes_moved counts a 64-bit Arm loop's vector bytes loaded and stored, a
// step: LDP/STP of q registers 32, LDR/STR of q 16, STNP of d 16; SVE's
// whole-vector LD1D counted apart, in vectors; any other memory access too.
struct ArmMoves {
    int loaded = 0, stored = 0, streamed = 0, sve_loads = 0, other_memory = 0;
};

ArmMoves arm_moves_of(const std::vector<Insn> &loop)
{
    ArmMoves m;
    for (const Insn &in : loop) {
        if (in.args.find('[') == std::string::npos)
            continue;
        bool q = in.args.rfind("q", 0) == 0;
        if ((in.op == "ldp" || in.op == "ldr") && q)
            m.loaded += in.op == "ldp" ? 32 : 16;
        else if ((in.op == "stp" || in.op == "str") && q)
            m.stored += in.op == "stp" ? 32 : 16;
        else if (in.op == "stnp" && in.args.rfind("d", 0) == 0)
            m.streamed += 16;
        else if (in.op == "ld1d")
            m.sve_loads++;
        else
            m.other_memory++;
    }
    return m;
}

TEST(BandwidthKernelCode, VectorLoopsHoldExactlyTheirLoadsAndStoresOfTheirWidth)
{
    const std::string exe = self_exe();
    const struct {
        const char *fn;
        int loaded, stored, streamed, sve_loads;
    } kernels[] = {
        {"bw_vector_read_neon", 128, 0, 0, 0},
        {"bw_write_neon", 0, 128, 0, 0},
        {"bw_copy_neon", 128, 128, 0, 0},
        {"bw_nt_write_neon", 0, 0, 128, 0},
        {"bw_vector_read_sve", 0, 0, 0, 8},
    };
    for (const auto &k : kernels) {
        std::vector<Insn> code = disassemble(exe, k.fn);
        ASSERT_FALSE(code.empty()) << k.fn;
        for (const Insn &in : code) {
            EXPECT_NE(in.op, "bl") << k.fn << " calls " << in.target;
            EXPECT_EQ(in.op.find("prfm"), std::string::npos) << k.fn;
        }
        std::vector<std::vector<Insn>> loops = loops_of(code);
        // SVE's read has a predicated tail after its main loop.
        ASSERT_EQ(loops.size(), k.sve_loads > 0 ? 2u : 1u) << k.fn;
        ArmMoves m = arm_moves_of(loops[0]);
        EXPECT_EQ(m.loaded, k.loaded) << k.fn;
        EXPECT_EQ(m.stored, k.stored) << k.fn;
        EXPECT_EQ(m.streamed, k.streamed) << k.fn;
        EXPECT_EQ(m.sve_loads, k.sve_loads) << k.fn;
        EXPECT_EQ(m.other_memory, 0) << k.fn;
        bool fenced = std::any_of(code.begin(), code.end(), [](const Insn &in) { return in.op == "dsb"; });
        EXPECT_EQ(fenced, k.streamed > 0) << k.fn;
    }
}

// The zero's main loop, the innermost round its DC ZVA, is that one DC ZVA
// a block and nothing else that touches memory; the words before and after
// it are stores of the zero register.
TEST(BandwidthKernelCode, TheZeroLoopIsOneDcZvaABlock)
{
    std::vector<Insn> code = disassemble(self_exe(), "bw_zero_dc_zva");
    ASSERT_FALSE(code.empty());
    auto is_dc_zva = [](const Insn &in) { return in.op == "dc" && in.args.rfind("zva,", 0) == 0; };
    EXPECT_EQ(std::count_if(code.begin(), code.end(), is_dc_zva), 1);
    EXPECT_EQ(std::count_if(code.begin(), code.end(), [](const Insn &in) { return in.op == "bl"; }), 0);
    EXPECT_EQ(std::count_if(code.begin(), code.end(),
                            [](const Insn &in) { return in.op == "mrs" && in.args.find("dczid_el0") != std::string::npos; }),
              1);
    for (const Insn &in : code) {
        if (in.args.find('[') != std::string::npos) {
            EXPECT_TRUE(in.op == "str" && in.args.rfind("xzr,", 0) == 0) << in.op << " " << in.args;
        }
    }
    std::vector<std::vector<Insn>> loops = loops_of(code);
    const std::vector<Insn> *inner = nullptr;
    for (const std::vector<Insn> &loop : loops)
        if (std::any_of(loop.begin(), loop.end(), is_dc_zva) && (inner == nullptr || loop.size() < inner->size()))
            inner = &loop;
    ASSERT_NE(inner, nullptr);
    ArmMoves m = arm_moves_of(*inner);
    EXPECT_EQ(m.other_memory + m.stored + m.loaded, 0);
    EXPECT_LE(inner->size(), 4u);  // DC ZVA, the step, the compare and the branch
}

#endif

TEST(BandwidthKernelCode, ScalarReadLoopsAreMemsweepsReadLoops)
{
    // The main loop, instruction for instruction, and on x86-64 the tail's
    // too (64-bit Arm's compiler shapes the two C tails apart); the
    // registers are the compiler's choice.
    const std::string exe = self_exe();
    std::vector<std::vector<Insn>> ours = loops_of(disassemble(exe, "bw_scalar_read"));
    std::vector<std::vector<Insn>> theirs = loops_of(disassemble(exe, "test"));
    ASSERT_FALSE(theirs.empty());
    ASSERT_EQ(ours.size(), theirs.size());
#if defined(__x86_64__)
    const size_t compared = ours.size();
#else
    const size_t compared = 1;
#endif
    for (size_t l = 0; l < compared; l++) {
        ASSERT_EQ(ours[l].size(), theirs[l].size()) << "loop " << l;
        for (size_t i = 0; i < ours[l].size(); i++) {
            EXPECT_EQ(ours[l][i].op, theirs[l][i].op) << "loop " << l << " " << i;
            EXPECT_EQ(is_memory(ours[l][i].args), is_memory(theirs[l][i].args)) << "loop " << l << " " << i;
        }
    }
#if defined(__x86_64__)
    Moves main_loop = moves_of(ours[0], "");
    EXPECT_EQ(main_loop.other_memory, 4);  // the four 8-byte loads
#else
    EXPECT_EQ(std::count_if(ours[0].begin(), ours[0].end(), [](const Insn &in) { return in.op == "ldr"; }), 4);
#endif
    for (const Insn &in : disassemble(exe, "bw_scalar_read"))
        EXPECT_TRUE(in.op != "call" && in.op != "bl") << in.op;
}


// ====================== What the kernels touch ======================

// A buffer of `bytes` and a guard of 1 KiB after it, 64-byte aligned.
struct Guarded {
    std::vector<uint64_t> words;
    explicit Guarded(size_t bytes) : words(bytes / 8 + 128 + 8) {}
    uint64_t *at() { return words.data() + (8 - (reinterpret_cast<uintptr_t>(words.data()) / 8) % 8) % 8; }
};

const uint64_t poison = 0x5a5a5a5a5a5a5a5aULL;

TEST(BandwidthKernels, ReadsSumEveryWordOfTheWorkingSetAndNothingBeyond)
{
    for (const bandwidth::Choice &c : runnable()) {
        if (c.kernel != Kernel::vector_read && c.kernel != Kernel::scalar_read)
            continue;
        for (size_t bytes : {size_t(1024), size_t(16 * KiB), size_t(65 * KiB)}) {
            Guarded g(bytes);
            uint64_t *w = g.at();
            size_t n = bytes / 8;
            for (size_t i = 0; i < n + 128; i++)
                w[i] = i < n ? i : poison;
            EXPECT_EQ(c.fn(w, bytes), (uint64_t)n * (n - 1) / 2) << name_of(c) << " " << bytes;
        }
    }
}

TEST(BandwidthKernels, WritesAndCopiesStoreTheirWholeWorkingSetAndNothingBeyond)
{
    for (const bandwidth::Choice &c : runnable()) {
        if (c.kernel == Kernel::vector_read || c.kernel == Kernel::scalar_read)
            continue;
        for (size_t bytes : {size_t(1024), size_t(65 * KiB)}) {
            Guarded g(bytes);
            uint64_t *w = g.at();
            size_t n = bytes / 8;
            for (size_t i = 0; i < n + 128; i++)
                w[i] = i < n / 2 ? i : poison;
            c.fn(w, bytes);
            for (size_t i = 0; i < n + 128; i++) {
                uint64_t want = 0;
                if (i >= n)
                    want = poison;                           // the guard
                else if (c.kernel == Kernel::zero)
                    want = 0;                                // zeros over all of it
                else if (c.kernel != Kernel::copy)
                    want = 0x0123456789abcdefULL;            // the pattern over all of it
                else
                    want = i < n / 2 ? i : i - n / 2;        // the first half, twice
                ASSERT_EQ(w[i], want) << name_of(c) << " " << bytes << " word " << i;
            }
        }
    }
}

#if defined(__aarch64__)
// DC ZVA zeroes a whole block around the address it is given: a working set
// that starts or ends inside a block has its edges stored word by word, and
// nothing outside it changes, at any block size the processor states.
TEST(BandwidthKernels, TheZeroChangesNothingOutsideItsWorkingSet)
{
    const size_t room = 16 * KiB;
    std::vector<uint64_t> words(room / 8 + 512);
    char *base = reinterpret_cast<char *>(words.data());
    base += (4096 - reinterpret_cast<uintptr_t>(base) % 4096) % 4096;  // a 4 KiB boundary
    for (size_t offset : {size_t(0), size_t(64), size_t(448), size_t(1024)})
        for (size_t bytes : {size_t(1024), size_t(3 * KiB), size_t(8 * KiB)}) {
            uint64_t *w = reinterpret_cast<uint64_t *>(base);
            std::fill(w, w + room / 8, poison);
            bw_zero_dc_zva(base + offset, bytes);
            for (size_t i = 0; i < room / 8; i++) {
                bool inside = i * 8 >= offset && i * 8 < offset + bytes;
                ASSERT_EQ(w[i], inside ? 0 : poison) << offset << " + " << bytes << " word " << i;
            }
        }
}
#endif

// ====================== The instruction set ======================

TEST(BandwidthIsa, WidestSetThatBothTheProcessorHasAndTheSystemSaves)
{
    const uint32_t osxsave_avx = 1u << 27 | 1u << 28, avx2 = 1u << 5, avx512f = 1u << 16;
    bandwidth::CpuIds ids;
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::sse2);
    ids = {osxsave_avx, avx2 | avx512f, 0xe7};
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::avx512);
    ids.xcr0 = 0x7;  // the system saves no 512-bit state
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::avx2);
    ids.xcr0 = 0x3;  // nor the 256-bit upper halves
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::sse2);
    ids = {1u << 28, avx2 | avx512f, 0xe7};  // no OSXSAVE: XCR0 says nothing
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::sse2);
    ids = {osxsave_avx, 0, 0xe7};  // AVX state saved, but no AVX2
    EXPECT_EQ(bandwidth::isa_of(ids), Isa::sse2);
}

#if defined(__x86_64__)
TEST(BandwidthIsa, AKernelAboveWhatTheProcessorRunsIsLeftOutWithANote)
{
    bandwidth::Choice c = bandwidth::choose(Kernel::copy, Isa::avx512, Isa::avx2);
    EXPECT_EQ(c.fn, nullptr);
    EXPECT_NE(c.note.find("copy"), std::string::npos) << c.note;
    EXPECT_NE(c.note.find("avx512"), std::string::npos) << c.note;
    EXPECT_EQ(bandwidth::choose(Kernel::copy, Isa::avx2, Isa::avx2).fn, bw_copy_avx2);
    EXPECT_EQ(bandwidth::choose(Kernel::nt_write, Isa::sse2, Isa::avx512).fn, bw_nt_write_sse2);
    bandwidth::Choice scalar = bandwidth::choose(Kernel::scalar_read, Isa::avx512, Isa::sse2);
    EXPECT_EQ(scalar.fn, bw_scalar_read);
    EXPECT_EQ(scalar.isa, "");
}
#endif

// 64-bit Arm's: SVE where the hardware capabilities name it, else NEON; a
// set of another architecture is left out, saying so.
TEST(BandwidthIsa, ArmsWidestSetIsTheOneItsHardwareCapabilitiesName)
{
    EXPECT_EQ(bandwidth::isa_of_hwcap(0), Isa::neon);
    EXPECT_EQ(bandwidth::isa_of_hwcap(uint64_t(1) << 22), Isa::sve);
    EXPECT_EQ(bandwidth::isa_of_hwcap(~(uint64_t(1) << 22)), Isa::neon);
    Isa foreign = bandwidth::isas().front() == Isa::sse2 ? Isa::neon : Isa::sse2;
    bandwidth::Choice c = bandwidth::choose(Kernel::write, foreign, bandwidth::best_isa());
    EXPECT_EQ(c.fn, nullptr);
    EXPECT_NE(c.note.find("architecture"), std::string::npos) << c.note;
}

// DCZID_EL0: the block is 4 << BS bytes (qemu's largest CPU states 512, most
// cores 64), and none where DZP prohibits DC ZVA.
TEST(BandwidthIsa, TheZerosBlockIsTheOneDczidStatesAndNoneWhereProhibited)
{
    EXPECT_EQ(bandwidth::zero_block_of(4), 64u);
    EXPECT_EQ(bandwidth::zero_block_of(7), 512u);
    EXPECT_EQ(bandwidth::zero_block_of(9), 2048u);
    EXPECT_EQ(bandwidth::zero_block_of(0x14), 0u);
    EXPECT_EQ(bandwidth::zero_block_of(0x10), 0u);
    std::vector<Kernel> kernels = bandwidth::all_kernels();
    bool listed = std::find(kernels.begin(), kernels.end(), Kernel::zero) != kernels.end();
    bandwidth::Choice zero = bandwidth::choose(Kernel::zero, bandwidth::best_isa(), bandwidth::best_isa());
#if defined(__aarch64__)
    EXPECT_TRUE(listed);
    ASSERT_NE(zero.fn, nullptr) << zero.note;  // the emulator allows it
    EXPECT_EQ(zero.isa.rfind("dczva", 0), 0u) << zero.isa;
#else
    EXPECT_FALSE(listed);  // x86-64's kernels stay the five they were
    EXPECT_EQ(zero.fn, nullptr);
    EXPECT_NE(zero.note.find("64-bit Arm"), std::string::npos) << zero.note;
#endif
}

TEST(BandwidthIsa, ForcingALowerSetChoosesItsFormsAndForcingAHigherOneLeavesThemOut)
{
    const Isa lowest = bandwidth::isas().front();
    const Isa highest = bandwidth::isas().back();
    bandwidth::force_isa(lowest);
    for (const bandwidth::Choice &c : bandwidth::choose_all()) {
        if (c.kernel != Kernel::zero) {  // the zero's is no vector set
            EXPECT_EQ(c.isa, c.kernel == Kernel::scalar_read ? "" : bandwidth::isa_name(lowest)) << name_of(c);
        }
    }
    EXPECT_EQ(bandwidth::choose_all()[1].fn, narrowest(Kernel::vector_read));
    if (bandwidth::best_isa() != highest) {
        bandwidth::force_isa(highest);
        for (const bandwidth::Choice &c : bandwidth::choose_all())
            EXPECT_EQ(c.fn == nullptr, c.kernel != Kernel::scalar_read && c.kernel != Kernel::zero) << name_of(c);
    }
    bandwidth::unforce_isa();
    EXPECT_EQ(bandwidth::want_isa(), bandwidth::best_isa());
}

// ====================== Working sets ======================

TEST(BandwidthSizes, MemsweepsSizesThenPowersOfTwoToFourTimesTheCacheShared)
{
    std::vector<uint64_t> base = bandwidth::sizes(0, 1, memsweep::memory_room(100000.0));
    ASSERT_EQ(base.size(), 14u);
    EXPECT_EQ(base.front(), 16 * KiB);
    EXPECT_EQ(base.back(), 128 * MiB);
    for (size_t i = 1; i < base.size(); i++)
        EXPECT_EQ(base[i], 2 * base[i - 1]);

    EXPECT_EQ(bandwidth::sizes(32 * MiB, 1, memsweep::memory_room(100000.0)).back(), 128 * MiB);
    EXPECT_EQ(bandwidth::sizes(64 * MiB, 1, memsweep::memory_room(100000.0)).back(), 256 * MiB);
    EXPECT_EQ(bandwidth::sizes(64 * MiB, 2, memsweep::memory_room(100000.0)).back(), 128 * MiB);
    EXPECT_EQ(bandwidth::sizes(96 * MiB, 1, memsweep::memory_room(100000.0)).back(), 256 * MiB);  // 384 MiB: the power below
    EXPECT_EQ(bandwidth::sizes(4 * GiB, 1, memsweep::memory_room(100000.0)).back(), 1 * GiB);
}

TEST(BandwidthSizes, TheMemoryCapsAllThreadsTogetherAndUnknownMemoryStopsAtMemsweeps)
{
    EXPECT_EQ(bandwidth::sizes(256 * MiB, 1, memsweep::memory_room(-1.0)).back(), 128 * MiB);
    // Half of 1000 MiB over two threads: 250 MiB each, so 128 MiB.
    EXPECT_EQ(bandwidth::sizes(256 * MiB, 2, memsweep::memory_room(1000.0)).back(), 128 * MiB);
    // What the 128 MiB array leaves of 200 MiB, over two: 36 MiB, so 32.
    EXPECT_EQ(bandwidth::sizes(0, 2, memsweep::memory_room(200.0)).back(), 32 * MiB);
    std::vector<uint64_t> tiny = bandwidth::sizes(0, 8, memsweep::memory_room(100.0));
    ASSERT_EQ(tiny.size(), 1u);
    EXPECT_EQ(tiny[0], 16 * KiB);
}

// ====================== CPUs ======================

// A made-up machine's files below a folder of its own.
class Tree : public testing::Test {
protected:
    TempFolder dir;
    void put(const std::string &path, const std::string &text) { dir.put(path, text); }
    void siblings(int cpu, const std::string &list)
    {
        put("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list", list + "\n");
    }
    std::vector<int> order(const std::vector<int> &allowed, int threads)
    {
        bandwidth::Placement p = bandwidth::place(dir.path, allowed, threads);
        EXPECT_EQ(p.error, "");
        return p.cpus;
    }
};

TEST_F(Tree, PhysicalCoresComeBeforeTheirSmtSiblings)
{
    siblings(0, "0-1");
    siblings(1, "0-1");
    siblings(2, "2-3");
    siblings(3, "2-3");
    EXPECT_EQ(order({0, 1, 2, 3}, 4), (std::vector<int>{0, 2, 1, 3}));
    EXPECT_EQ(order({0, 1, 2, 3}, 2), (std::vector<int>{0, 2}));
    // Siblings numbered apart, as many machines number them.
    for (int c = 0; c < 4; c++)
        siblings(c, c % 2 == 0 ? "0,2" : "1,3");
    EXPECT_EQ(order({0, 1, 2, 3}, 3), (std::vector<int>{0, 1, 2}));
}

TEST_F(Tree, ACoreWhoseFirstCpuIsNotAllowedIsStillACore)
{
    siblings(0, "0-1");
    siblings(1, "0-1");
    siblings(2, "2-3");
    siblings(3, "2-3");
    EXPECT_EQ(order({1, 2, 3}, 3), (std::vector<int>{1, 2, 3}));
}

TEST_F(Tree, TwoNumaNodesTakeTurnsForCoresAndThenForSiblings)
{
    // Cores (0,4) (1,5) on node 0, (2,6) (3,7) on node 1.
    for (int c = 0; c < 8; c++)
        siblings(c, std::to_string(c % 4) + "," + std::to_string(c % 4 + 4));
    put("/sys/devices/system/node/node0/cpulist", "0-1,4-5\n");
    put("/sys/devices/system/node/node1/cpulist", "2-3,6-7\n");
    put("/sys/devices/system/node/possible", "0-1\n");
    EXPECT_EQ(order({0, 1, 2, 3, 4, 5, 6, 7}, 8), (std::vector<int>{0, 2, 1, 3, 4, 6, 5, 7}));
    EXPECT_EQ(order({0, 1, 2, 3, 4, 5, 6, 7}, 2), (std::vector<int>{0, 2}));
}

TEST_F(Tree, ANodeNumberTooLongIsNoNode)
{
    put("/sys/devices/system/node/node0/cpulist", "0-1\n");
    put("/sys/devices/system/node/node4294967297/cpulist", "2-3\n");  // not node 1
    EXPECT_EQ(order({0, 1, 2, 3}, 4), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(Tree, WithoutTopologyTheAllowedCpusGoInOrder)
{
    EXPECT_EQ(order({3, 5, 9}, 3), (std::vector<int>{3, 5, 9}));
}

TEST_F(Tree, NoThreadsOrMoreThanTheAllowedCpusIsAnError)
{
    for (int threads : {0, -1, 3}) {
        bandwidth::Placement p = bandwidth::place(dir.path, {0, 1}, threads);
        EXPECT_TRUE(p.cpus.empty());
        EXPECT_NE(p.error.find("2 CPUs"), std::string::npos) << p.error;
    }
}

TEST_F(Tree, AQuotaBelowTheThreadsWarnsAndTheSmallestAlongThePathCounts)
{
    put("/proc/self/cgroup", "0::/box/inner\n");
    put("/sys/fs/cgroup/box/inner/cpu.max", "150000 100000\n");
    put("/sys/fs/cgroup/box/cpu.max", "max 100000\n");
    EXPECT_DOUBLE_EQ(bandwidth::cpu_quota(dir.path), 1.5);
    bandwidth::Placement two = bandwidth::place(dir.path, {0, 1}, 2);
    EXPECT_EQ(two.cpus.size(), 2u);
    EXPECT_NE(two.warning.find("1.5 CPUs"), std::string::npos) << two.warning;
    EXPECT_NE(two.warning.find("2 threads"), std::string::npos) << two.warning;
    EXPECT_EQ(bandwidth::place(dir.path, {0, 1}, 1).warning, "");

    put("/sys/fs/cgroup/box/cpu.max", "50000 100000\n");
    EXPECT_DOUBLE_EQ(bandwidth::cpu_quota(dir.path), 0.5);
    EXPECT_NE(bandwidth::place(dir.path, {0, 1}, 1).warning, "");
}

// Version 1: the cpu controller's hierarchy, by its name or as cpu alone,
// its quota over its period, -1 for none; the smallest along the path.
TEST_F(Tree, AVersionOneQuotaCountsAsVersionTwosDoes)
{
    put("/proc/self/cgroup", "12:cpu,cpuacct:/box/inner\n5:memory:/box\n0::/\n");
    put("/sys/fs/cgroup/cpu,cpuacct/box/inner/cpu.cfs_quota_us", "100000\n");
    put("/sys/fs/cgroup/cpu,cpuacct/box/inner/cpu.cfs_period_us", "100000\n");
    put("/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "-1\n");
    put("/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "100000\n");
    EXPECT_DOUBLE_EQ(bandwidth::cpu_quota(dir.path), 1.0);
    bandwidth::Placement two = bandwidth::place(dir.path, {0, 1}, 2);
    EXPECT_NE(two.warning.find("(cpu.cfs_quota_us) allows 1 CPU,"), std::string::npos) << two.warning;
    EXPECT_NE(two.warning.find("2 threads"), std::string::npos) << two.warning;
    // Unlimited all along: no quota.
    put("/sys/fs/cgroup/cpu,cpuacct/box/inner/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(bandwidth::cpu_quota(dir.path), 0.0);
    EXPECT_EQ(bandwidth::place(dir.path, {0, 1}, 2).warning, "");
    // Where the path is not below the mount, as in a container, the top's own.
    put("/proc/self/cgroup", "3:cpuacct,cpu:/docker/0123abcd\n");
    put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "150000\n");
    put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_DOUBLE_EQ(bandwidth::cpu_quota(dir.path), 1.5);
    // A garbled or over-long quota is none.
    for (const char *quota : {"lots", "1e5", "99999999999999999999", "0"}) {
        put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", std::string(quota) + "\n");
        EXPECT_EQ(bandwidth::cpu_quota(dir.path), 0.0) << quota;
    }
}

TEST_F(Tree, NoQuotaWithoutACgroupOrWithMax)
{
    EXPECT_EQ(bandwidth::cpu_quota(dir.path), 0.0);
    put("/proc/self/cgroup", "12:cpu,cpuacct:/old\n0::/\n");
    put("/sys/fs/cgroup/cpu.max", "max 100000\n");
    EXPECT_EQ(bandwidth::cpu_quota(dir.path), 0.0);
    put("/sys/fs/cgroup/cpu.max", "200000 100000\n");  // a container sees its own at the top
    EXPECT_DOUBLE_EQ(bandwidth::cpu_quota(dir.path), 2.0);
    put("/proc/self/cgroup", "0::/../../etc\n");
    EXPECT_EQ(bandwidth::cpu_quota(dir.path), 0.0);
}

// Throttling is counted where the quota is: the pod's own cgroup and those
// above it, under version 2 and under version 1's cpu controller.
TEST_F(Tree, ThrottledPeriodsAreSummedOverTheCgroupAndThoseAboveIt)
{
    EXPECT_EQ(bandwidth::throttled_periods(dir.path), -1);  // no cgroup: unknown
    put("/proc/self/cgroup", "0::/kubepods/pod1/c1\n");
    put("/sys/fs/cgroup/kubepods/pod1/c1/cpu.stat", "usage_usec 100\nnr_periods 40\nnr_throttled 3\n");
    put("/sys/fs/cgroup/kubepods/pod1/cpu.stat", "nr_periods 40\nnr_throttled 7\nthrottled_usec 900\n");
    EXPECT_EQ(bandwidth::throttled_periods(dir.path), 10);
    put("/sys/fs/cgroup/kubepods/pod1/cpu.stat", "nr_throttled many\n");
    EXPECT_EQ(bandwidth::throttled_periods(dir.path), 3);
    put("/proc/self/cgroup", "4:cpu,cpuacct:/docker/abc\n");
    put("/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.stat", "nr_periods 5\nnr_throttled 2\nthrottled_time 10\n");
    EXPECT_EQ(bandwidth::throttled_periods(dir.path), 2);
}

// ====================== The clock ======================

TEST(BandwidthClock, TheCounterOnlyWhereInvariantAndAgreeing)
{
    const std::string both = "processor\t: 0\nflags\t\t: fpu tsc constant_tsc rep_good nonstop_tsc cpuid\n";
    EXPECT_TRUE(bandwidth::invariant_counter(both, 0.0));
    EXPECT_FALSE(bandwidth::invariant_counter("flags\t\t: fpu tsc constant_tsc\n", 0.0));
    EXPECT_FALSE(bandwidth::invariant_counter("", 0.0));
    // 64-bit Arm's /proc/cpuinfo has no flags line; its generic timer, which
    // states its rate, is a fixed-rate counter by the architecture's rule.
    EXPECT_TRUE(bandwidth::invariant_counter("Features\t: fp asimd evtstrm\n", 25.0));

    std::string why;
    EXPECT_EQ(bandwidth::choose_timer(true, {100.0, 2100.0, -900.0}, 5000.0, &why), bandwidth::Timer::counter);
    EXPECT_EQ(why, "");
    EXPECT_EQ(bandwidth::choose_timer(true, {0.0, 20000.0}, 5000.0, &why), bandwidth::Timer::monotonic_raw);
    EXPECT_NE(why.find("20.0 us"), std::string::npos) << why;
    EXPECT_EQ(bandwidth::choose_timer(false, {0.0}, 5000.0, &why), bandwidth::Timer::monotonic_raw);
    EXPECT_NE(why.find("invariant"), std::string::npos) << why;
    EXPECT_EQ(bandwidth::choose_timer(true, {}, 5000.0, nullptr), bandwidth::Timer::monotonic_raw);
}

// ====================== The team ======================

int first_allowed_cpu()
{
    std::vector<int> cpus = machine::allowed_cpus();
    return cpus.empty() ? 0 : cpus.front();
}

bandwidth::Machine real_machine()
{
    bandwidth::Machine m;
    m.pin = machine::pin;
    m.map = machine::map_buffer;
    m.unmap = machine::unmap_buffer;
    m.advise = [](void *p, size_t n) { return machine::advise_pages(p, n, machine::Pages::system); };
    return m;
}

// counted is a kernel that reads nothing and counts its calls.
std::atomic<uint64_t> counted_calls{0};
uint64_t counted(void *, size_t)
{
    return counted_calls.fetch_add(1) + 1;
}

// tasks lists the process's threads by id.
std::set<long> tasks()
{
    std::set<long> ids;
    for (const auto &t : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(std::stol(t.path().filename().string()));
    return ids;
}

// blocked_signals reads a thread's blocked signals from its status file:
// bit n - 1 of SigBlk is signal n.
uint64_t blocked_signals(long tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0)
            return std::stoull(line.substr(7), nullptr, 16);
    ADD_FAILURE() << "no SigBlk for thread " << tid;
    return 0;
}

// Ctrl-C and the other signals that end a session must reach the thread
// that made the team, whose handler removes the record's temporary file:
// every team thread blocks them, and the maker's own mask is as it was.
TEST(BandwidthTeam, ItsThreadsLeaveTheEndingSignalsToTheThreadThatMadeIt)
{
    const long self = syscall(SYS_gettid);
    const std::set<long> before = tasks();
    const uint64_t own = blocked_signals(self);
    bandwidth::Team team({first_allowed_cpu(), first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw,
                         0.0);
    ASSERT_EQ(team.error(), "");
    std::vector<long> made;
    const std::set<long> now = tasks();
    std::copy_if(now.begin(), now.end(), std::back_inserter(made), [&](long t) { return before.count(t) == 0; });
    ASSERT_EQ(made.size(), 2u);
    for (long t : made)
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            EXPECT_TRUE(blocked_signals(t) >> (sig - 1) & 1) << "thread " << t << ", signal " << sig;
    EXPECT_EQ(blocked_signals(self), own);
}

TEST(BandwidthTeam, EachPointMakesOneUntimedCallBeforeItsWindow)
{
    bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    ASSERT_EQ(team.error(), "");
    bandwidth::Point first = team.measure(counted, 16 * KiB);
    ASSERT_EQ(first.error, "");
    uint64_t before = counted_calls.load();
    bandwidth::Point again = team.measure(counted, 16 * KiB);
    ASSERT_EQ(again.error, "");
    EXPECT_EQ(again.calls, first.calls);
    EXPECT_EQ(counted_calls.load() - before, again.calls + 1);
}

TEST(BandwidthTeam, OneThreadAtSixteenKibGivesAFigureAndKeepsItsCallCount)
{
    bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    ASSERT_EQ(team.error(), "");
    bw_kernel_fn fn = bandwidth::choose(Kernel::vector_read, bandwidth::best_isa(), bandwidth::best_isa()).fn;
    bandwidth::Point p = team.measure(fn, 16 * KiB);
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(std::isfinite(p.gbs));
    EXPECT_GT(p.gbs, 0.0);
    EXPECT_GE(p.calls, 1u);
    EXPECT_EQ(team.measure(fn, 16 * KiB).calls, p.calls);
    // A point with no kernel, or a working set of no whole KiB, is refused.
    EXPECT_NE(team.measure(nullptr, 16 * KiB).error, "");
    EXPECT_NE(team.measure(fn, 1000).error, "");
}

TEST(BandwidthTeam, AForcedLowerSetRunsItsOwnForm)
{
    bandwidth::force_isa(bandwidth::isas().front());
    bandwidth::Choice c = bandwidth::choose_all()[1];
    bandwidth::unforce_isa();
    ASSERT_EQ(c.fn, narrowest(Kernel::vector_read));
    bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    bandwidth::Point p = team.measure(c.fn, 16 * KiB);
    EXPECT_EQ(p.error, "");
    EXPECT_GT(p.gbs, 0.0);
}

TEST(BandwidthTeam, EachThreadGetsItsBufferOnItsOwnCpuAfterPinning)
{
    int cpu = first_allowed_cpu();
    bandwidth::Machine m = real_machine();
    std::vector<int> seen;
    m.advise = [&seen](void *, size_t) {
        seen.push_back(sched_getcpu());
        return true;
    };
    bandwidth::Team team({cpu}, m, bandwidth::Timer::monotonic_raw, 0.0);
    EXPECT_EQ(team.measure(narrowest(Kernel::write), 64 * KiB).error, "");
    EXPECT_EQ(team.measure(narrowest(Kernel::write), 32 * KiB).error, "");  // fits: no new buffer
    EXPECT_EQ(seen, (std::vector<int>{cpu}));
    team.release();
    EXPECT_EQ(team.measure(narrowest(Kernel::write), 32 * KiB).error, "");
    EXPECT_EQ(seen.size(), 2u);
}

TEST(BandwidthTeam, AThreadThatCantBePinnedEndsThePlaneWithOneError)
{
    bandwidth::Team team({first_allowed_cpu(), 1 << 20}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    EXPECT_NE(team.error().find("can't pin a thread to CPU 1048576"), std::string::npos) << team.error();
    EXPECT_EQ(team.measure(narrowest(Kernel::write), 16 * KiB).error, team.error());
}

TEST(BandwidthTeam, AThreadWithoutItsBufferEndsThePlaneWithOneError)
{
    bandwidth::Machine none = real_machine();
    none.map = [](size_t) -> void * {
        errno = ENOMEM;
        return nullptr;
    };
    bandwidth::Team team({first_allowed_cpu()}, none, bandwidth::Timer::monotonic_raw, 0.0);
    EXPECT_EQ(team.error(), "");
    bandwidth::Point p = team.measure(narrowest(Kernel::write), 16 * KiB);
    EXPECT_NE(p.error.find("can't map its buffer of 16384 bytes"), std::string::npos) << p.error;
    EXPECT_EQ(team.error(), p.error);

    bandwidth::Machine refused = real_machine();
    refused.advise = [](void *, size_t) {
        errno = EINVAL;
        return false;
    };
    bandwidth::Team other({first_allowed_cpu()}, refused, bandwidth::Timer::monotonic_raw, 0.0);
    EXPECT_NE(other.measure(narrowest(Kernel::write), 16 * KiB).error.find("pages"), std::string::npos);
}

TEST(BandwidthTeam, ALoadRunsUntilStoppedAndCountsWholeCalls)
{
    bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    team.start_load(narrowest(Kernel::copy), 16 * KiB, 1000, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bandwidth::Load l = team.stop_load();
    EXPECT_EQ(l.error, "");
    EXPECT_GE(l.bytes, 16 * KiB);
    EXPECT_EQ(l.bytes % (16 * KiB), 0u);
    EXPECT_GT(l.gbs, 0.0);
    EXPECT_NE(team.stop_load().error, "");  // none running

    // The first thread spared: nothing moves.
    team.start_load(narrowest(Kernel::copy), 16 * KiB, 0, 1);
    EXPECT_EQ(team.stop_load().bytes, 0u);
    EXPECT_EQ(team.measure(narrowest(Kernel::copy), 16 * KiB).error, "");
}

// A stop is prompt whatever the delay: the spin between calls watches for
// it.  The team runs in a child, which is given far longer than a stop
// needs (a delay of 2^63 cycles is years) and killed if it is still there.
TEST(BandwidthTeam, AStopEndsTheDelayBetweenCalls)
{
    pid_t child = fork();
    ASSERT_GE(child, 0) << strerror(errno);
    if (child == 0) {
        bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
        team.start_load(narrowest(Kernel::copy), 16 * KiB, uint64_t(1) << 63, 0);
        bandwidth::Load l = team.stop_load();
        _exit(l.error.empty() && l.bytes == 16 * KiB ? 0 : 1);
    }
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the load was still in its delay a minute after it was stopped";
    }
    ASSERT_EQ(done, child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "one call, then the stop: status " << status;
}

// ====================== A team of two ======================

// Two members on the one CPU the test may use, told apart: the second is
// given the CPU's number plus second_member, which pin_member takes off
// again, noting in the thread which member it is.
const int second_member = 1 << 20;
thread_local int member = -1;
bool pin_member(int cpu)
{
    member = cpu >= second_member ? 1 : 0;
    return machine::pin(cpu % second_member);
}

bandwidth::Team team_of_two(double mhz = 0.0)
{
    bandwidth::Machine m = real_machine();
    m.pin = pin_member;
    int cpu = first_allowed_cpu();
    return bandwidth::Team({cpu, cpu + second_member}, m, bandwidth::Timer::monotonic_raw, mhz);
}

// Each member's calls, as when they began and ended.
struct Call {
    std::chrono::steady_clock::time_point began, ended;
};
std::mutex calls_held;
std::vector<Call> calls_of[2];

// uneven is a kernel that reads nothing: the first member's calls take a
// millisecond or more, the second's five times as long.
uint64_t uneven(void *, size_t)
{
    Call c;
    c.began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(member == 1 ? 5 : 1));
    c.ended = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(calls_held);
    calls_of[member].push_back(c);
    return 0;
}

TEST(BandwidthTeamOfTwo, OneWindowFromTheirCommonStartToTheLastEndWithBothMembersBytes)
{
    bandwidth::Team team = team_of_two();
    ASSERT_EQ(team.error(), "");
    ASSERT_EQ(team.measure(uneven, 16 * KiB).error, "");  // the call count is chosen
    calls_of[0].clear();
    calls_of[1].clear();
    bandwidth::Point p = team.measure(uneven, 16 * KiB);
    ASSERT_EQ(p.error, "");
    ASSERT_GE(p.calls, 1u);
    for (const auto &calls : calls_of) {
        // cppcheck-suppress useStlAlgorithm ; an assertion for each member
        ASSERT_EQ(calls.size(), p.calls + 1) << "one untimed call, then the window's";
    }

    // Neither member's window opens before the other's untimed call is over.
    EXPECT_GE(calls_of[0][1].began, calls_of[1][0].ended);
    EXPECT_GE(calls_of[1][1].began, calls_of[0][0].ended);
    // The window holds the slow member's calls (by a clock of its own, whose
    // rate may differ a little), and its bytes are both members'.
    const std::chrono::duration<double> slow = calls_of[1].back().ended - calls_of[1][1].began;
    EXPECT_GE(p.seconds, 0.99 * slow.count());
    EXPECT_NEAR(p.gbs * 1e9 * p.seconds, 2.0 * (double)p.calls * 16 * KiB, 1.0);
}

// counted_by_member counts each member's calls.
std::atomic<uint64_t> member_calls[2];
uint64_t counted_by_member(void *, size_t)
{
    return member_calls[member].fetch_add(1) + 1;
}

TEST(BandwidthTeamOfTwo, ALoadCountsEachLoadersOwnCalls)
{
    bandwidth::Team team = team_of_two();
    ASSERT_EQ(team.error(), "");
    member_calls[0] = member_calls[1] = 0;
    team.start_load(counted_by_member, 64 * KiB, 0, 0, 16 * KiB);
    bandwidth::Load l = team.stop_load();
    ASSERT_EQ(l.error, "");
    EXPECT_GE(member_calls[0].load(), 1u);
    EXPECT_GE(member_calls[1].load(), 1u);
    EXPECT_EQ(l.bytes, (member_calls[0].load() + member_calls[1].load()) * 16 * KiB);

    // The first member spared: the second's calls alone.
    member_calls[0] = member_calls[1] = 0;
    team.start_load(counted_by_member, 64 * KiB, 0, 1, 16 * KiB);
    l = team.stop_load();
    ASSERT_EQ(l.error, "");
    EXPECT_EQ(member_calls[0].load(), 0u);
    EXPECT_GE(member_calls[1].load(), 1u);
    EXPECT_EQ(l.bytes, member_calls[1].load() * 16 * KiB);
}

// offset_here reads the counter less CLOCK_MONOTONIC_RAW, in ns, on the
// calling thread: the narrowest of many brackets.
double offset_here(double mhz)
{
    double best_gap = 1e18, offset = 0.0;
    for (int i = 0; i < 200; i++) {
        struct timespec a {
        }, b{};
        unsigned hi = 0, lo = 0;
        clock_gettime(CLOCK_MONOTONIC_RAW, &a);
        access_counter(&hi, &lo);
        clock_gettime(CLOCK_MONOTONIC_RAW, &b);
        double r0 = (double)a.tv_sec * 1e9 + (double)a.tv_nsec, r1 = (double)b.tv_sec * 1e9 + (double)b.tv_nsec;
        if (r1 - r0 < best_gap) {
            best_gap = r1 - r0;
            offset = (double)((uint64_t)hi << 32 | lo) / mhz * 1000.0 - (r0 + r1) / 2.0;
        }
    }
    return offset;
}

// Each member reads its own offset; on one CPU they are the offset that
// CPU shows any thread, within the counters' tolerance.
TEST(BandwidthTeamOfTwo, EachMemberReadsItsOwnCounterOffset)
{
    // The counter's stated rate where it states one (64-bit Arm's, exact by
    // the architecture, and what a session takes there), else the measured
    // one.  A measured rate's error, times the time between two readings,
    // parts the offsets by itself: by tens of microseconds under a busy
    // emulator.
    const double stated = counter_stated_mhz();
    const double rate = stated > 0.0 ? stated : counter_mhz();
    ASSERT_GT(rate, 0.0);
    bandwidth::Team team = team_of_two(rate);
    ASSERT_EQ(team.error(), "");
    std::vector<double> offsets = team.counter_offsets();
    double here = 0.0;
    std::thread beside([&] {
        if (machine::pin(first_allowed_cpu()))
            here = offset_here(rate);
    });
    beside.join();
    ASSERT_NE(here, 0.0) << "can't pin a thread";
    ASSERT_EQ(offsets.size(), 2u);
    for (double o : offsets)
        EXPECT_NEAR(o, here, bandwidth::counter_tolerance_ns);
}

}  // namespace
