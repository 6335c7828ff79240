// SPDX-License-Identifier: MIT
/*
 * latency.h -- what memsweep-record's latency measures and how it says it:
 * the working sets, the chase's cycle through a buffer, the cache levels
 * from the checks, and the one-line summary.  Everything here is a function
 * of its arguments: nothing is measured.  Private to memsweep-record.
 *
 * Sizes are in bytes, latencies in nanoseconds per load.
 */
#ifndef MEMSWEEP_RECORD_LATENCY_H
#define MEMSWEEP_RECORD_LATENCY_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "check/checks.h"
#include "common/text.h"
#include "common/random.h"

namespace latency {

using memsweep::Random;

/* The chase steps through 64-byte lines: one load per line. */
const size_t line_bytes = 64;

/* One cache level of cpu0: its name as "L1d", "L2", "L3", and its size. */
struct Cache {
    std::string name;
    uint64_t bytes;
};

/* caches_of returns cpu0's data and unified caches as the checks found
 * them, in level order; none when the checks have none. */
std::vector<Cache> caches_of(const std::vector<checks::Check> &results);

/* available_mib_of returns MemAvailable as the checks found it, in MiB;
 * negative when unknown. */
double available_mib_of(const std::vector<checks::Check> &results);

/* latency_sizes returns the working sets of the latency, ascending: the
 * powers of two from 16 KiB (memsweep's sizes) up to the largest power of
 * two within four times the largest cache and 1 GiB, but at least
 * memsweep's 128 MiB; with the steps of 1.5 times a power of two in
 * between, below 4 MiB.  room (bytes: the buffer's share of
 * memsweep::memory_room; negative when unknown) is a hard limit, also
 * below 128 MiB (and 16 KiB at least); an unknown room ends the list at
 * 128 MiB. */
std::vector<uint64_t> latency_sizes(const std::vector<Cache> &caches, double room);

/* build_cycle links the first `lines` 64-byte lines of buffer into one
 * random cycle (Sattolo's algorithm, drawn from random): each line's first
 * 8 bytes hold the address of the line after it, and following them from
 * any line visits every line once before it comes back.  It writes nothing
 * beyond the lines, and needs no memory but theirs. */
void build_cycle(void *buffer, size_t lines, Random &random);

/* cycle_seed is the seed of the cycle of a working set of `bytes` in a
 * session of `seed`: one cycle per size, the same in every pass. */
uint64_t cycle_seed(uint64_t seed, uint64_t bytes);

/* chase_loads returns the loads of one timed call over a cycle of `lines`
 * lines: two trips round it, and at least 100,000. */
int chase_loads(size_t lines);

/* One size's median latency. */
struct LatencyFigure {
    uint64_t bytes;
    double ns;
};

using memsweep::ns_text;

/* One level's latency: "L1d", "L2" ..., "memory", or (with no caches
 * known, or the largest size within them) the size as "16 KiB"; where the
 * largest size fits in the largest cache, memory_not_reached and the cache
 * it fits in. */
struct LevelLatency {
    std::string name;
    double ns;
    bool memory_not_reached = false;
    std::string fits_in;
};

/* latency_levels returns latency_summary's figures as values, in its
 * order. */
std::vector<LevelLatency> latency_levels(const std::vector<LatencyFigure> &figures, const std::vector<Cache> &caches);

/* latency_summary returns one line, as "L1d 1.3 ns, L2 4.1 ns, L3 14 ns,
 * memory 92 ns": for each cache level, the median of the sizes that fit in
 * at most half of it and exceed the level below (a level without such a
 * size is left out); then memory, the largest size's figure.  With no
 * caches known it gives the smallest size's figure and then memory's.
 * Where the largest size fits in the largest cache, the last figure is
 * given by its size, with memory not reached.  figures are ascending by
 * size; "" when there are none. */
std::string latency_summary(const std::vector<LatencyFigure> &figures, const std::vector<Cache> &caches);

}  // namespace latency

#endif /* MEMSWEEP_RECORD_LATENCY_H */
