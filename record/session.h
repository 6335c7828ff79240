// SPDX-License-Identifier: MIT
/*
 * session.h -- memsweep-record's measuring session: the grid in memsweep's
 * order, the shuffled passes over it with a drift watch between cells, and
 * the machine controls around them (one CPU, a page mode).  Private to
 * memsweep-record; not installed.
 *
 * Every cell is one call of the sweep's run(), exactly as memsweep measures
 * it, with the counter's measured rate as the clock: the figures are bytes
 * per second of real time, in GB/s (10^9 bytes per second).  The latency's
 * points are one measurement of the pointer chase each (chase.h), in
 * nanoseconds per load with the same clock.
 */
#ifndef MEMSWEEP_RECORD_SESSION_H
#define MEMSWEEP_RECORD_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace record {

/* ====================== The grid ====================== */

/* One grid point: memsweep's size label (the working set is 2^(label + 13)
 * bytes) and stride (in 8-byte elements). */
struct Cell {
    int label;
    int stride;
    int bytes() const { return 1 << (label + 13); }
};

/* grid returns memsweep's 210 cells in memsweep's order: labels 14 down to
 * 1, and within each the strides 1 to 15. */
std::vector<Cell> grid();

/* ====================== Order ====================== */

/* A small random number generator of this program's own, so that a seed
 * gives the same order on every machine and with every C++ library. */
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    /* next returns the next 64 random bits. */
    uint64_t next();
    /* below returns a number from 0 to n - 1, each as likely; n >= 1. */
    uint64_t below(uint64_t n);

private:
    uint64_t state_;
};

/* shuffled returns 0 .. n - 1 in a random order drawn from random. */
std::vector<int> shuffled(int n, Random &random);

/* ====================== Figures ====================== */

/* The median, minimum and maximum of a cell's figures over its passes.  An
 * even count's median is the mean of the middle two. */
struct Spread {
    double median = 0.0, min = 0.0, max = 0.0;
};
Spread spread_of(std::vector<double> values);

/* ====================== The machine ====================== */

/* How the pages of the measured memory are chosen: as the machine's
 * transparent huge page mode has it, small pages only, or huge pages asked
 * for. */
enum class Pages { system, small, huge };

/* advise_pages tells the kernel which pages [addr, addr + len) should get,
 * before it is first touched: nothing for system, no huge pages for small,
 * huge pages for huge.  Only whole pages inside the range are advised.  It
 * returns false, with errno set, when the kernel refuses. */
bool advise_pages(void *addr, size_t len, Pages pages);

/* huge_share returns the share of [begin, end) that sits on huge pages, by
 * the AnonHugePages lines of an smaps text (/proc/self/smaps): each mapping
 * that overlaps the range counts with its huge pages, at most the overlap.
 * 0.0 when none does or the range is empty. */
double huge_share(const std::string &smaps, uintptr_t begin, uintptr_t end);

/* allowed_cpus returns the CPUs this process may run on, in ascending
 * order; none when the kernel can't tell. */
std::vector<int> allowed_cpus();

/* least_busy returns the allowed CPU with the smallest busy share (CPUs
 * missing from busy count as fully busy); the lowest number among equals. */
int least_busy(const std::vector<int> &allowed, const std::map<long, double> &busy);

/* pin restricts this process to the one CPU; false, with errno set, when
 * the kernel refuses. */
bool pin(int cpu);

/* map_buffer maps `bytes` of private memory for the latency, aligned to
 * 2 MiB so that huge pages can back all of it, and not yet touched;
 * nullptr, with errno set, when it can't.  unmap_buffer gives it back. */
void *map_buffer(size_t bytes);
void unmap_buffer(void *buffer, size_t bytes);

/* counter_step returns the smallest number of cycles by which the
 * counter's reading advances between two readings: 1 on most machines, more
 * where it is kept in coarser steps (some virtual machines). */
double counter_step();

/* touch_pages writes to every page of [addr, addr + len), so that all of
 * it is resident before anything is timed. */
void touch_pages(void *addr, size_t len);

/* ====================== The passes ====================== */

/* One reading of the drift watch: the fixed core-bound cell (16 KiB,
 * stride 1) measured again, `seconds` into the session. */
struct Watch {
    double seconds;
    double gbs;
};

/* What a session measures: passes over the grid and the latency's sizes,
 * each pass in a new order. */
struct Plan {
    int passes = 5;
    uint64_t seed = 0;
    double mhz = 0.0;            /* the counter's rate, which turns cycles into time */
    double watch_every_s = 3.0;  /* the drift watch's interval */
    /* The latency's working sets in bytes, ascending (none: no latency),
     * and the buffer their cycles are built in, 64-byte aligned and at
     * least as large as the largest. */
    std::vector<uint64_t> latency_bytes;
    void *latency_buffer = nullptr;
    /* progress(done, total, elapsed seconds) is called after every cell
     * and every latency point; it may be empty. */
    std::function<void(int, int, double)> progress;
};

/* What it found: every cell's figure in every pass, in GB/s, by the cell's
 * place in grid(); every latency size's figure in every pass, in ns per
 * load, by its place in latency_bytes; the drift watch; the time it took,
 * and how much of it the latency's points took. */
struct Passes {
    std::vector<std::vector<double>> gbs;
    std::vector<uint64_t> latency_bytes;
    std::vector<std::vector<double>> latency_ns;
    std::vector<Watch> drift;
    double seconds = 0.0;
    double latency_seconds = 0.0;
};

/* measure runs the passes: each pass measures every cell of the grid and
 * every latency size once, in an order of its own drawn from plan.seed, so
 * that a drift of the machine's speed over time lines up neither with the
 * size axis nor with one kind of measurement.  A latency point builds its
 * size's cycle in the buffer (from cycle_seed, the same cycle in every
 * pass) and chases it.  The watch cell is measured at the start, whenever
 * watch_every_s has passed since its last reading (between two points),
 * and at the end. */
Passes measure(const Plan &plan);

}  // namespace record

#endif /* MEMSWEEP_RECORD_SESSION_H */
