// SPDX-License-Identifier: MIT
/*
 * chase_run.cpp -- one latency measurement: the chase kernel timed by the
 * harness (chase_cycles), or one call of it timed by the counter, going on
 * round its cycle (chase_onward).
 */
#include "latency/chase.h"

#include <stdint.h>

#include <algorithm>

#include "clock/clock.h"
#include "harness/harness.h"

namespace latency {

/* The harness's parameters for the chase, chosen by measurement on a 2-core
 * virtual machine.  A call chases two trips round its cycle or more, so a
 * call at 128 MiB is 4 million loads of some 200 ns: most of a second.
 * With the harness's defaults (K = 3 within 1 %, at most 500 samples, each
 * sample a warm-up call and a timed one) such sizes rarely converge, as
 * other guests' work moves single calls by 10 % and more, and one size took
 * minutes.  So each measurement gets a budget of timed loads: K = 3 within
 * 1 % as memsweep's cells have it, but no more samples than `budget` loads
 * allow, and K no more than those samples.  The small sizes, whose calls
 * last a fraction of a millisecond, still get up to 10 samples, where most
 * converge in three to seven; from 32 MiB up a measurement is one warm-up
 * call and one timed call, whose millions of loads are their own average,
 * and the passes' median does the rest.  One pass over the working sets up
 * to 128 MiB then takes 3.5 to 4 seconds here, nearly all of it from 8 MiB
 * up; a budget of 2^21 loads took a fifth longer. */
static const double budget = 1048576.0; /* timed loads per measurement: 2^20 */
static const int best_k = 3;
static const double epsilon = 0.01;

double chase_cycles(const void *start, int loads)
{
    chase_start = start;
    int maxsamples = std::max(1, (int)(budget / (double)loads));
    int k = std::min(best_k, maxsamples);
    return fcyc2_full(chase, loads, 0, 0, k, maxsamples, epsilon, 0) / (double)loads;
}

double chase_onward(const void *base, const void **at, int loads)
{
    if (loads <= 0)
        return 0.0;
    chase_start = *at;
    start_counter();
    int end = chase(loads, 0);
    double cycles = get_counter();
    /* The kernel gives the last line's address in 32 bits: its offset from
     * base, which is less than 4 GiB, is exact in them. */
    uint32_t offset = (uint32_t)end - (uint32_t)(uintptr_t)base;
    *at = static_cast<const char *>(base) + offset;
    return cycles / (double)loads;
}

}  // namespace latency
