// SPDX-License-Identifier: MIT
// memsweep_copy -- a copy loop of its own over OpenMP threads, to check the
// bandwidth plane's memory figure from outside: its own arrays, its own
// loops and the system clock, none of memsweep's code.
//
//   memsweep_copy [ELEMENTS]      (default: 80000000, three 640 MB arrays)
//
// It fills three arrays of ELEMENTS doubles, each thread first touching
// the part it later reads, and times ten runs of each loop over them all,
// the threads sharing the elements in equal blocks:
//   copy   c = a           (2 x 8 bytes an element: a read, c written)
//   scale  b = 3 c         (2 x 8)
//   triad  a = b + 3 c     (3 x 8)
// Each prints its best run in GB/s (10^9 bytes per second), as such
// benchmarks report, and its median.  The stores are counted once, as the
// plane counts its copy (the line each store first reads is not counted).
// It is built for the widest vectors of the machine that builds it.
// The threads are OpenMP's: OMP_NUM_THREADS sets their number, and
// OMP_PROC_BIND=true OMP_PLACES=cores pins them one a core, as the plane's
// are.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <vector>

/* The loops stay loops: g++ would turn the copy into a call of the C
 * library's copy, which measures that (with its non-temporal stores). */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-distribute-patterns")
#endif

#include "bench/now.h"

namespace {

// A value of the last loop's results is stored here, so that no loop can be
// left out.
volatile double sink;

struct Loop {
    const char *name;
    int arrays; /* the arrays an element moves: read and written */
    std::vector<double> gbs;
};

}  // namespace

int main(int argc, char **argv)
{
    long n = 80000000;
    if (argc > 2 || (argc == 2 && (n = strtol(argv[1], nullptr, 10)) < 1000000)) {
        fprintf(stderr, "usage: memsweep_copy [ELEMENTS] (1000000 or more)\n");
        return 2;
    }
    double *a = static_cast<double *>(aligned_alloc(4096, ((size_t)n * 8 + 4095) / 4096 * 4096));
    double *b = static_cast<double *>(aligned_alloc(4096, ((size_t)n * 8 + 4095) / 4096 * 4096));
    double *c = static_cast<double *>(aligned_alloc(4096, ((size_t)n * 8 + 4095) / 4096 * 4096));
    if (a == nullptr || b == nullptr || c == nullptr) {
        fprintf(stderr, "memsweep_copy: can't allocate three arrays of %ld doubles\n", n);
        return 1;
    }
#pragma omp parallel for schedule(static)
    for (long i = 0; i < n; i++) {
        a[i] = 1.0;
        b[i] = 2.0;
        c[i] = 0.0;
    }
    Loop loops[] = {{"copy", 2, {}}, {"scale", 2, {}}, {"triad", 3, {}}};
    const double q = 3.0;
    for (int run = 0; run < 10; run++) {
        double t0 = now_s();
#pragma omp parallel for schedule(static)
        for (long i = 0; i < n; i++)
            c[i] = a[i];
        double t1 = now_s();
#pragma omp parallel for schedule(static)
        for (long i = 0; i < n; i++)
            b[i] = q * c[i];
        double t2 = now_s();
#pragma omp parallel for schedule(static)
        for (long i = 0; i < n; i++)
            a[i] = b[i] + q * c[i];
        double t3 = now_s();
        const double spans[] = {t1 - t0, t2 - t1, t3 - t2};
        for (int k = 0; k < 3; k++)
            loops[k].gbs.push_back((double)loops[k].arrays * 8.0 * (double)n / spans[k] / 1e9);
    }
    int threads = 0;
#pragma omp parallel reduction(+ : threads)
    threads += 1;
    printf("%d threads, %ld elements (%.0f MB an array)\n", threads, n, (double)n * 8 / 1e6);
    printf("%-6s %10s %10s\n", "loop", "best GB/s", "median");
    for (Loop &l : loops) {
        std::sort(l.gbs.begin(), l.gbs.end());
        printf("%-6s %10.1f %10.1f\n", l.name, l.gbs.back(), l.gbs[l.gbs.size() / 2]);
    }
    sink = a[n / 2];
    free(a);
    free(b);
    free(c);
    return 0;
}
