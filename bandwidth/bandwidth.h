// SPDX-License-Identifier: MIT
/*
 * bandwidth.h -- the machine's bandwidth: vector, write and copy kernels run
 * by a team of pinned threads, one point (kernel, thread count, working
 * set) at a time.
 *
 * The kernels are in kernels.h.  Here are the choices around them -- which
 * instruction set, which CPUs, which working sets, which clock -- as
 * functions of what they are given (a root folder to read the machine's
 * files below: "" for this machine's /sys and /proc), and the team that
 * measures.  The team knows nothing of records: it is handed its CPUs, how
 * to pin a thread and get memory, and a clock, and returns figures.
 *
 * A point's figure is in GB/s (10^9 bytes per second): the bytes all
 * threads moved over the time from their common start to the last one's
 * end.  A kernel's call over a working set of W bytes moves W bytes: the
 * reads read W, the writes write W, and the copy reads W/2 and writes W/2
 * (a copy of N bytes counts 2N).  A write to a line not in the cache also
 * reads it first (write-allocate), except for nt-write; that traffic is not
 * counted.
 *
 * The program that links this library provides access_counter (clock.h).
 */
#ifndef MEMSWEEP_BANDWIDTH_H
#define MEMSWEEP_BANDWIDTH_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bandwidth/kernels.h"

namespace bandwidth {

/* ====================== Kernels and instruction sets ====================== */

enum class Kernel { scalar_read, vector_read, write, copy, nt_write, zero };

/* The vector instruction sets: x86-64's, then 64-bit Arm's, each
 * architecture's narrowest first. */
enum class Isa { sse2, avx2, avx512, neon, sve };

/* all_kernels lists this architecture's kernels in the order above: all
 * but zero on x86-64, all on 64-bit Arm. */
std::vector<Kernel> all_kernels();

/* kernel_name is the kernel's name in records and text: "scalar-read",
 * "vector-read", "write", "copy", "nt-write", "zero". */
const char *kernel_name(Kernel kernel);

/* isa_name is "sse2", "avx2", "avx512", "neon" or "sve". */
const char *isa_name(Isa isa);

/* isas lists the instruction sets of this processor's architecture,
 * narrowest first: sse2, avx2, avx512 on x86-64; neon, sve on 64-bit Arm. */
const std::vector<Isa> &isas();

/* isa_label is the instruction set as a record names the kernels' forms:
 * its name, and for SVE its vector length in bits, as "sve256", since the
 * same code moves as many bytes a step as the processor's vectors hold. */
std::string isa_label(Isa isa);

/* What CPUID and XGETBV tell of the vector units: leaf 1's ECX, leaf 7's
 * EBX (subleaf 0; 0 where the leaf is missing), and XCR0 (0 where OSXSAVE
 * is off). */
struct CpuIds {
    uint32_t leaf1_ecx = 0;
    uint32_t leaf7_ebx = 0;
    uint64_t xcr0 = 0;
};

/* isa_of returns the widest instruction set that both the processor has and
 * the operating system saves the registers of: AVX-512F with the opmask and
 * all 512-bit state in XCR0, else AVX2 with the 256-bit state, else SSE2
 * (every x86-64 processor has it). */
Isa isa_of(const CpuIds &ids);

/* isa_of_hwcap returns 64-bit Arm's widest instruction set that the
 * kernel's hardware capabilities (getauxval(AT_HWCAP)) name: SVE where
 * HWCAP_SVE is set, else NEON (every such processor has it). */
Isa isa_of_hwcap(uint64_t hwcap);

/* zero_block_of reads 64-bit Arm's DCZID_EL0: the bytes DC ZVA zeroes at
 * a time (4 << its BS field, bits 3:0), or 0 where its DZP bit (4)
 * prohibits the instruction. */
uint64_t zero_block_of(uint64_t dczid);

/* best_isa is the widest instruction set this processor and its operating
 * system run, found once: isa_of of CPUID on x86-64, isa_of_hwcap on 64-bit
 * Arm. */
Isa best_isa();

/* force_isa makes want_isa return isa instead of best_isa, for a lower
 * instruction set than the processor's (or, to see a kernel left out, a
 * higher one); unforce_isa undoes it. */
void force_isa(Isa isa);
void unforce_isa();
Isa want_isa();

/* One kernel as it will run: the function (nullptr when it can't run), the
 * instruction set (the scalar read has none: empty), and a note when it is
 * left out. */
struct Choice {
    Kernel kernel;
    bw_kernel_fn fn = nullptr;
    std::string isa;
    std::string note;
};

/* choose picks the kernel's form for the instruction set `want` on a
 * processor that runs `have`: want's form where have reaches it, else none,
 * with a note saying why.  The scalar read runs everywhere; the zero, whose
 * instruction is no vector set's, wherever DCZID_EL0 allows it, named
 * "dczva" and its block's bytes, as "dczva64". */
Choice choose(Kernel kernel, Isa want, Isa have);

/* choose_all chooses every kernel for want_isa() on best_isa(). */
std::vector<Choice> choose_all();

/* ====================== Sizes ====================== */

/* sizes returns the per-thread working sets of a thread count, ascending:
 * memsweep's 14 sizes (16 KiB to 128 MiB), and beyond them the powers of
 * two up to four times the largest cache divided by the thread count where
 * that is larger, at most 1 GiB.  room (bytes, memsweep::memory_room's
 * or a share of it; negative when unknown) caps all threads' buffers
 * together, also below 128 MiB; an unknown room ends the list at 128 MiB.
 * 16 KiB is always there. */
std::vector<uint64_t> sizes(uint64_t largest_cache, int threads, double room);

/* ====================== CPUs ====================== */

/* A cgroup's CPU quota, in CPUs, and the file that set it. */
struct Quota {
    double cpus = 0.0; /* 0 for none */
    std::string file;  /* "cpu.max" (version 2) or "cpu.cfs_quota_us" (version 1) */
};

/* cgroup_quota returns the CPUs the process's cgroups may use: by version
 * 2's cpu.max, quota over period, and by version 1's cpu.cfs_quota_us over
 * cpu.cfs_period_us (-1: none) in the cpu controller's hierarchy
 * (/sys/fs/cgroup/cpu,cpuacct or /sys/fs/cgroup/cpu); the smallest along
 * the process's folder and those above it up to the hierarchy's top, none
 * where no quota is set or none is found.  The process's cgroups are read
 * from root/proc/self/cgroup.  cpu_quota returns its CPUs alone. */
Quota cgroup_quota(const std::string &root);
double cpu_quota(const std::string &root);

/* throttled_periods returns how many periods the process's cgroups have
 * been throttled by their quotas so far: the nr_throttled lines of
 * cpu.stat, summed over its cgroup and each above it (version 2's, or
 * version 1's cpu controller's); -1 where no cpu.stat is found.  Two
 * readings that differ mean a throttled interval between them. */
long long throttled_periods(const std::string &root);

/* Where a team's threads go, and what to say of it. */
struct Placement {
    std::vector<int> cpus;  /* one per thread, in the order they are used */
    std::string error;      /* why there is no placement, or "" */
    std::string warning;    /* a cgroup quota below the thread count, or "" */
};

/* place returns the CPUs of `threads` threads among `allowed` (the CPUs the
 * process may use): one CPU of each physical core first, then their SMT
 * siblings (root/sys/devices/system/cpu/cpuN/topology/thread_siblings_list),
 * each round taken in turn from the NUMA nodes (root/sys/devices/system/
 * node/nodeK/cpulist), so that two threads on a two-node machine use both
 * nodes' memory.  An error when threads is below 1 or above the allowed
 * CPUs; a warning when the cgroup's quota is below threads. */
Placement place(const std::string &root, const std::vector<int> &allowed, int threads);

/* ====================== The clock ====================== */

/* What times a point: the time-stamp counter, converted with the counter's
 * rate, or the system's CLOCK_MONOTONIC_RAW. */
enum class Timer { counter, monotonic_raw };

/* timer_name is "counter" or "CLOCK_MONOTONIC_RAW". */
const char *timer_name(Timer timer);

/* invariant_counter tells whether the counter ticks at one rate, also while
 * a core sleeps: a counter that states its own rate (stated_mhz > 0, 64-bit
 * Arm's generic timer) does by the architecture's rule; the time-stamp
 * counter where a /proc/cpuinfo text's first flags line has both
 * constant_tsc and nonstop_tsc. */
bool invariant_counter(const std::string &cpuinfo, double stated_mhz);

/* choose_timer returns the counter where it is invariant and every CPU's
 * offset (counter time less system time, in ns, from Team::counter_offsets)
 * lies within tolerance_ns of the others; else CLOCK_MONOTONIC_RAW, with
 * the reason in *why (which may be nullptr). */
Timer choose_timer(bool invariant, const std::vector<double> &offsets_ns, double tolerance_ns, std::string *why);

/* Counters that agree within a few microseconds time a window of 10 ms or
 * more to a few parts in ten thousand. */
const double counter_tolerance_ns = 5000.0;

/* ====================== The team ====================== */

/* What a thread asks of the system, as its caller does it: pin restricts
 * the calling thread to one CPU (false, with errno set, when the kernel
 * refuses); map gives `bytes` of untouched memory, aligned to the system's
 * huge page (nullptr with errno set when it can't); unmap gives it back; advise, when set, is
 * called before the first touch (the page mode) and returns false, with
 * errno set, when the kernel refuses. */
struct Machine {
    bool (*pin)(int cpu) = nullptr;
    void *(*map)(size_t bytes) = nullptr;
    void (*unmap)(void *buffer, size_t bytes) = nullptr;
    std::function<bool(void *, size_t)> advise;
};

/* One point's figure. */
struct Point {
    double gbs = 0.0;      /* all threads' bytes over the window */
    double seconds = 0.0;  /* the window: common start to the last end */
    uint64_t calls = 0;    /* kernel calls per thread in the window */
    std::string error;     /* why there is no figure, or "" */
};

/* What a load run moved: all threads' bytes over its time. */
struct Load {
    uint64_t bytes = 0;
    double seconds = 0.0;
    double gbs = 0.0;
    std::string error;
};

/* A running load's progress at one moment: the bytes its loaders have
 * moved so far (each call counted when it ends) and the timer's reading. */
struct LoadMark {
    uint64_t bytes = 0;
    uint64_t time = 0;
};

/* A team of threads, one per CPU, each pinned to its CPU before it touches
 * memory, kept for as many points as its caller measures.  Each thread
 * keeps a buffer of its own, mapped, advised and first touched by itself
 * (so that its pages sit on its own NUMA node), as large as the largest
 * working set asked of it so far; a smaller working set uses its start.
 *
 * The threads block SIGINT, SIGTERM, SIGHUP and SIGQUIT: those go to the
 * thread that made the team, whose handlers may assume they run there.
 *
 * A thread that can't be pinned or can't get its buffer makes error()
 * (and the point) say so, once; the team still shuts down cleanly.
 * Nothing here is thread-safe: one caller drives a team. */
class Team {
public:
    /* The window of a point lasts this long at least. */
    static constexpr double least_window_s = 0.010;

    /* Team starts one thread per CPU and waits until each has pinned
     * itself with machine.pin.  mhz is the counter's rate, used with Timer::counter. */
    Team(const std::vector<int> &cpus, Machine machine, Timer timer, double mhz);
    ~Team();
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    int size() const { return (int)members_.size(); }
    const std::vector<int> &cpus() const { return cpus_; }

    /* error is the first fault of any thread (pinning, a buffer), or "". */
    const std::string &error() const { return error_; }

    /* measure runs one point: every thread's buffer at least `bytes` and
     * one untimed call of fn over it (which warms the caches), then all
     * threads start together and run fn over their first `bytes` a
     * fixed number of times, chosen at the first measurement of (fn, bytes)
     * so that the window lasts least_window_s or more, and kept for the
     * later ones, however fast they go.  bytes is a multiple of 1024. */
    Point measure(bw_kernel_fn fn, uint64_t bytes);

    /* counter_offsets reads, on each thread's CPU in turn, the counter (in
     * ns at mhz) less CLOCK_MONOTONIC_RAW, for choose_timer. */
    std::vector<double> counter_offsets();

    /* start_load makes every thread but the first `spare` run fn over
     * `bytes` of its buffer in a loop, spinning `delay` counter cycles
     * between calls, until stop_load; the spare threads stay idle (one of
     * them may be the caller's, chasing).  With a block (a multiple of
     * 1024, at most bytes) each call covers the next `block` bytes of the
     * buffer's first `bytes` in turn, so that a short delay between small
     * calls sets a steady rate over a working set beyond the caches; 0
     * makes a call cover all of them.  stop_load ends a delay at once,
     * however long, and returns what the loaders moved: at least one call
     * each.  start_load returns once every loader has its buffer and has
     * begun. */
    void start_load(bw_kernel_fn fn, uint64_t bytes, uint64_t delay, int spare, uint64_t block = 0);
    Load stop_load();

    /* load_mark reads a running load's progress, for the caller to time a
     * window of its own under it; load_between returns what the loaders
     * moved from one mark to a later one: the bytes of the calls that
     * ended in between, over the time between the marks. */
    LoadMark load_mark() const;
    Load load_between(const LoadMark &from, const LoadMark &to) const;

    /* release gives every buffer back; the next point maps them anew. */
    void release();

private:
    enum class Op { none, pin, calibrate, measure, offsets, load, release, quit };
    struct alignas(64) Member {
        int cpu = -1;
        std::thread thread;
        char *buffer = nullptr;
        size_t mapped = 0;
        uint64_t start = 0, end = 0;  /* timer readings */
        double call_s = 0.0;          /* one call's time, for calibration */
        double offset_ns = 0.0;
        std::atomic<uint64_t> moved{0}; /* a load's bytes, read by load_mark as they grow */
        uint64_t sink = 0;
        std::string error;
    };
    struct Command {
        Op op = Op::none;
        bw_kernel_fn fn = nullptr;
        uint64_t bytes = 0;
        uint64_t calls = 0;
        uint64_t delay = 0;
        uint64_t block = 0;
        int spare = 0;
        uint64_t token = 0; /* the command's own number */
    };

    void work(size_t index);
    void post(const Command &command);
    bool run_all(const Command &command);
    void wait_done();
    void run_member(Member &m, size_t index, const Command &c);
    bool ensure_buffer(Member &m, size_t bytes) const;
    void start_together(uint64_t token);
    uint64_t now() const;
    double seconds(uint64_t from, uint64_t to) const;
    std::string first_error() const;

    std::vector<int> cpus_;
    Machine machine_;
    Timer timer_;
    double mhz_;
    std::string error_;
    std::vector<std::unique_ptr<Member>> members_;
    std::map<std::pair<bw_kernel_fn, uint64_t>, uint64_t> calls_;

    std::mutex mutex_;
    std::condition_variable work_cv_, done_cv_;
    Command command_;
    uint64_t generation_ = 0;
    int pending_ = 0;
    std::atomic<int> arrived_{0};
    std::atomic<uint64_t> released_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> begun_{0}; /* threads of a load past their buffer's set-up */
    int runners_ = 0;           /* threads in the current start */
    uint64_t start_ = 0;        /* the common start's reading */
    bool loading_ = false;
};

}  // namespace bandwidth

#endif /* MEMSWEEP_BANDWIDTH_H */
