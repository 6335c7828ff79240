// SPDX-License-Identifier: MIT
// memsweep_chase -- a small pointer chase of its own, to check
// memsweep-record's latency from outside: its own cycle, its own loop and
// the system clock, none of memsweep-record's code.
//
//   memsweep_chase [BYTES...]      (default: 16384 1048576 134217728)
//
// For each working set it links the 64-byte lines into one random cycle
// (a shuffled list of the lines, each linked to the next), follows it with
// a plain C++ loop and times the loop with clock_gettime; it prints the
// median and the best of seven timed runs in ns per load, and the best in
// core cycles, at the core clock that it measures first with a chain of
// dependent additions (one per core cycle on any x86-64 core).  The best
// run is the one to compare with memsweep-record's figure, which is the
// best of its calls too.  Run it
// pinned, as memsweep-record runs: taskset -c 1 memsweep_chase.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "bench/now.h"

namespace {

// The final address of every run is stored here, so that the loads that
// lead to it can't be left out.
const void *volatile sink;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// follow takes n links from p; each load's address is the previous load's
// value, whatever the compiler does with the loop around it.
void *const *follow(void *const *p, long n)
{
    for (long i = 0; i < n; i++)
        p = static_cast<void *const *>(*p);
    return p;
}

// core_mhz times a chain of dependent additions: each waits for the one
// before it, and an addition of two registers takes one core cycle, so the
// chain's rate is the core's clock.  Eight additions a round keep the
// loop's own count and branch, which run beside them, off the chain.  A run
// lasts about 25 ms; the fastest of 21 is the one least taken from by other
// work (a virtual machine's host takes whole slices of time).
double core_mhz()
{
    const long rounds = 10000000;
    double best = 0.0;
    for (int run = 0; run < 21; run++) {
        uint64_t x = 0;
        uint64_t one = 1;
        long n = rounds;
        double t0 = now_s();
        __asm__ volatile(
            "1:\n\t"
            "add %[one], %[x]\n\tadd %[one], %[x]\n\tadd %[one], %[x]\n\tadd %[one], %[x]\n\t"
            "add %[one], %[x]\n\tadd %[one], %[x]\n\tadd %[one], %[x]\n\tadd %[one], %[x]\n\t"
            "sub $1, %[n]\n\t"
            "jnz 1b"
            : [x] "+r"(x), [n] "+r"(n)
            : [one] "r"(one)
            : "cc");
        double t = now_s() - t0;
        best = std::max(best, (double)rounds * 8.0 / t / 1e6);
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; i++) {
        char *end = nullptr;
        unsigned long long bytes = strtoull(argv[i], &end, 10);
        if (*end != '\0' || bytes < 64 || bytes > (1ull << 34)) {
            fprintf(stderr, "usage: memsweep_chase [BYTES...] (each 64 bytes to 16 GiB)\n");
            return 2;
        }
        sizes.push_back((size_t)bytes);
    }
    if (sizes.empty())
        sizes = {16384, 1048576, 134217728};

    double mhz = core_mhz();
    printf("core clock %.0f MHz (dependent additions)\n", mhz);
    printf("%12s %10s %10s %12s\n", "bytes", "median ns", "best ns", "best cycles");
    std::mt19937_64 random(12345);
    for (size_t bytes : sizes) {
        size_t lines = bytes / 64;
        void **buffer = static_cast<void **>(aligned_alloc(64, lines * 64));
        if (buffer == nullptr) {
            fprintf(stderr, "memsweep_chase: can't allocate %zu bytes\n", lines * 64);
            return 1;
        }
        // Touched in address order first, as memsweep-record touches its
        // buffer: pages first written in a random order land on scattered
        // physical pages, which a cache that the working set just fills
        // holds less well (at 1 MiB here, 13 ns a load instead of 8).
        memset(buffer, 0, lines * 64);
        // The lines in a random order, each linked to the next and the last
        // to the first: one cycle through all of them.
        std::vector<size_t> order(lines);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        for (size_t i = 0; i < lines; i++)
            buffer[order[i] * 8] = &buffer[order[(i + 1) % lines] * 8];

        // Enough loads that a run lasts a few milliseconds at least and
        // goes round the cycle twice; one run first to warm the caches.
        long loads = (long)std::max<size_t>(2 * lines, 1000000);
        void *const *p = &buffer[order[0] * 8];
        p = follow(p, loads);
        std::vector<double> ns;
        for (int run = 0; run < 7; run++) {
            double t0 = now_s();
            p = follow(p, loads);
            ns.push_back((now_s() - t0) * 1e9 / (double)loads);
            sink = p;
        }
        double best = *std::min_element(ns.begin(), ns.end());
        printf("%12zu %10.2f %10.2f %12.1f\n", bytes, median(ns), best, best * mhz / 1000.0);
        free(buffer);
    }
    return 0;
}
