// SPDX-License-Identifier: MIT
/*
 * loaded.h -- the loaded latency of memsweep-record: the load-to-use
 * latency of one CPU's pointer chase while the session's other CPUs stream
 * memory, as a curve of latency against the load they put on it.
 *
 * One CPU, the session's, chases the cycle of the latency's largest
 * working set; every other CPU of a bandwidth team runs a kernel
 * (vector-read, or copy as a second curve) over a buffer of its own, one
 * block at a time, spinning a delay of counter cycles between blocks: the
 * delay sets the rate at which it asks for memory.  A point is one delay:
 * the chase's ns per load and the loaders' GB/s, measured at once over a
 * few short windows, of which the fastest chase under the full load
 * counts (the chaser's own traffic is not counted).  The idle point is the
 * chase with no load at all.
 *
 * The delays are placed where the curve bends, once per session, from a
 * probing run: full load (no delay), then doubling delays until the load is
 * a few per cent of the full one, then the widest gap between neighbouring
 * points in (GB/s, ns), each axis scaled (next_delay says how), split
 * again and again.  The passes then measure each (kernel, delay) point once per pass.
 * Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_LOADED_H
#define MEMSWEEP_RECORD_LOADED_H

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bandwidth/bandwidth.h"
#include "latency/chase.h"
#include "latency/knee.h"
#include "machine/machine.h"

namespace latency
{

/* A loader's block: a call of its kernel covers this much of its buffer. */
const uint64_t loaded_block = uint64_t(64) << 10;

/* ====================== Which CPUs ====================== */

/* Who measures the curve: the chaser's CPU first, then the loaders', or
 * why there is no curve. */
struct LoadedCpus {
    std::vector<int> cpus; /* empty: no curve */
    std::string note;      /* one line on why not, or "" */
    std::string warning;   /* place()'s, or "" */
};

/* loaded_cpus chooses the team of the curve among `allowed` (the CPUs the
 * session may use): `chaser` (the session's own CPU) first, then every
 * other allowed CPU in place()'s order, as many as the cgroup's quota
 * (cpu_quota below root; "" for this machine) leaves whole CPUs beside the
 * chaser's.  With fewer than two CPUs there is no curve, and the note says
 * why, in one line. */
LoadedCpus loaded_cpus(const std::string &root, const std::vector<int> &allowed, int chaser);

/* ====================== Measuring one point ====================== */

/* What the chase runs over: a buffer of its own (the latency's points
 * build their cycles in theirs), the working set whose cycle it holds (the
 * largest latency size), the session's seed (the cycle is cycle_seed's,
 * the same as the latency's own at that size), the counter's rate, and
 * the line the chase goes on from; the loaders' working set, each its
 * own buffer; and what times the chase (chase_onward, or a test's
 * stand-in). */
struct LoadedSetup {
    void *buffer = nullptr;
    uint64_t bytes = 0;
    uint64_t seed = 0;
    double mhz = 0.0;
    uint64_t load_bytes = 0;
    const void *at = nullptr;
    double (*chase)(const void *base, const void **at, int loads) = chase_onward;
};

/* load_bytes_of returns the loaders' working set: the chase's, but all
 * loaders' buffers together within room (bytes, their share of
 * memsweep::memory_room; negative when unknown), halved as needed, and no
 * less than a block. */
uint64_t load_bytes_of(uint64_t chase_bytes, int loaders, double room);

/* build_loaded_cycle builds the chase's cycle in the buffer, once, puts
 * the chase at its start and flushes the whole buffer from the caches, so
 * that the first points find none of it there. */
void build_loaded_cycle(LoadedSetup &setup);

/* A point's windows: the chase timed this many times in a row under one
 * load.  Other work that takes the chaser's CPU, or the memory, for a few
 * milliseconds slows the windows it falls in, and the point keeps the
 * fastest of the others, as the latency's best-of-K keeps the best call.
 * Five windows of a quarter of a single call's loads cost a quarter more
 * than that single call did. */
const int loaded_windows = 5;

/* loaded_loads is the chase's loads per window: a sixty-fourth of a trip
 * round the cycle, and at least 2^16 (some 6 ms at 100 ns).  Each window
 * goes on where the last one stopped, so a line comes round again only
 * after a whole trip, the working set's size (four times the largest cache
 * or more) of the chase's own loads later, and no warm-up call is needed. */
int loaded_loads(uint64_t bytes);

/* One window: the chase's ns per load; the loaders' GB/s over the same
 * time, counted in whole blocks, and what one block per loader adds to it
 * (the count's grain). */
struct LoadedWindow {
    double ns = 0.0;
    double load_gbs = 0.0;
    double grain_gbs = 0.0;
};

/* A window whose loaders were held back (other work on their CPUs) has a
 * lighter load and a faster chase: the point's figure comes from a window
 * whose load is at least this share of the heaviest window's. */
const double loaded_share = 0.9;

/* best_window returns the window with the fastest chase among those whose
 * load, plus its grain, reaches loaded_share of the heaviest window's load
 * (at idle, all of them); windows without a time (ns not positive and
 * finite) are left out, and with none left it returns a window of 0 ns. */
LoadedWindow best_window(const std::vector<LoadedWindow> &windows);

/* measure_loaded measures one point on the team made of loaded_cpus():
 * the load started on every CPU but the first, with `kernel` over
 * setup.load_bytes in blocks and `delay` between them (none for
 * idle_delay), the chase timed on the calling thread, which must run on
 * team.cpus()[0], in loaded_windows windows from setup.at on, with the
 * loaders' bytes over each, then the load stopped.  The point's ns and
 * load are best_window's.  The cycle must be built. */
LoadedPoint measure_loaded(bandwidth::Team &team, LoadedSetup &setup, bw_kernel_fn kernel,
                           uint64_t delay);

/* ====================== Where the delays go ====================== */

/* How the delays are placed. */
struct DelayRule {
    uint64_t first = 1024;     /* the first delay after none, in counter cycles */
    double least_share = 0.05; /* the coarse set stops at this share of the full load */
    int most = 12;             /* delays per curve, the full load's included */
    int doublings = 16;        /* the coarse set's longest reach: first * 2^doublings */
};

/* first_delay returns a block's time at full load in counter cycles: a
 * delay that halves a loader's rate, where the coarse set starts.  At
 * least 1. */
uint64_t first_delay(uint64_t block, int loaders, double full_gbs, double mhz);

/* next_delay returns the delay to measure after `points` (one curve's, the
 * full load's and the idle point among them, in any order), or none when
 * the curve has rule.most delays or no gap can be split.  The coarse set:
 * rule.first, then twice the longest delay while its load exceeds
 * rule.least_share of the full load (up to rule.doublings).  Then the
 * widest gap between neighbours by delay (the idle point last), in GB/s
 * over the highest load and ns over their range (or half the least ns,
 * where that is more): split at the delays'
 * geometric mean, at half the delay next to none, and at twice the longest
 * delay next to idle; a gap whose split gives a delay already there is
 * left as it is. */
std::optional<uint64_t> next_delay(const std::vector<LoadedPoint> &points, const DelayRule &rule);

/* choose_delays runs the probing run of one kernel's curve: a load
 * stopped at once, so that the loaders' buffers are mapped and touched
 * before anything is timed (they stay so for the team's later points),
 * then the full load, then next_delay's delays, each measured once, with
 * `idle` (measured before) as the curve's end.  It returns the delays, ascending, the full
 * load's (0) first; empty, with *error set, when a point fails. */
std::vector<uint64_t> choose_delays(bandwidth::Team &team, LoadedSetup &setup, bw_kernel_fn kernel,
                                    const LoadedPoint &idle, DelayRule rule, std::string *error);

/* ====================== What it says ====================== */

/* One point's figures over the passes: the idle point's kernel is "". */
struct LoadedSeries {
    std::string kernel;
    uint64_t delay = idle_delay;
    std::vector<double> load_gbs; /* per pass */
    std::vector<double> ns;       /* per pass */
};

/* loaded_summary returns the summary line's text after "memsweep-record: ",
 * from the points' medians (by kernel name, "" for idle): "loaded latency:
 * idle 110 ns; 150 ns at 18.0 GB/s (80 % of peak); knee at 15.0 GB/s" -- the
 * vector read's full load, its share of peak_gbs (the bandwidth plane's
 * vector read at the loaders' count, or, when that is not known (0), the
 * curve's highest load), and its curve's knee, or "no knee below N GB/s".
 * "" without an idle point and a full load of the vector read. */
std::string loaded_summary(const std::vector<LoadedSeries> &series, double peak_gbs);

/* loaded_medians returns a kernel's points as their medians over the
 * passes, the idle point's with them. */
std::vector<LoadedPoint> loaded_medians(const std::vector<LoadedSeries> &series, const std::string &kernel);

/* open_loaded starts the loaded latency's team on cpus (the chaser's
 * first; the process runs on it), with the session's page mode, and
 * chooses each kernel's delays by a probing run over setup's cycle (built
 * here): the points go to *points, the idle one first, with the kernel
 * that each runs in *fns.  It returns "" or why the curve can't be had. */
std::string open_loaded(const std::vector<int> &cpus, machine::Pages pages, LoadedSetup &setup,
                        std::unique_ptr<bandwidth::Team> *team, std::vector<LoadedPlanPoint> *points,
                        std::vector<bw_kernel_fn> *fns);


}  // namespace latency

#endif /* MEMSWEEP_RECORD_LOADED_H */
