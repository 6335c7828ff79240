// SPDX-License-Identifier: MIT
/* A C program that uses the timing library: it proves that the headers are
 * C, that the names link from C, and that a measurement runs. */
#include <stdio.h>

#include <memsweep/clock.h>
#include <memsweep/harness.h>

static int work(int n, int unused)
{
    volatile long x = 0;
    int i;
    (void)unused;
    for (i = 0; i < n; i++)
        x += i;
    return (int)x;
}

int main(void)
{
    timed_fn f = work;
    double cycles = fcyc2(f, 1000, 0, 0);
    if (!(cycles > 0.0) || samplecount < 3 || get_min() != cycles) {
        printf("fcyc2 gave %f cycles after %d samples\n", cycles, samplecount);
        return 1;
    }
    return 0;
}
