// SPDX-License-Identifier: MIT
// now.h -- the system clock the benchmark's own programs time with: none of
// memsweep's code.
#ifndef MEMSWEEP_BENCH_NOW_H
#define MEMSWEEP_BENCH_NOW_H

#include <time.h>

/* now_s is CLOCK_MONOTONIC in seconds. */
inline double now_s()
{
    struct timespec t {
    };
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

#endif /* MEMSWEEP_BENCH_NOW_H */
