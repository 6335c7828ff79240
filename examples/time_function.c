// SPDX-License-Identifier: MIT
/* time_function -- time a function of your own with memsweep's harness.
 *
 * fcyc2 calls the function until the three fastest calls agree within 1%
 * and returns the fastest, in time-stamp counter cycles; counter_mhz, the
 * rate at which that counter ticks, turns cycles into time. */
#include <stdio.h>

#include <memsweep/clock.h>
#include <memsweep/harness.h>

/* The function measured: the sum of the first n squares. */
static int sum_of_squares(int n, int unused)
{
    volatile unsigned sum = 0;
    (void)unused;
    for (int i = 0; i < n; i++)
        sum = sum + (unsigned)i * (unsigned)i;
    return (int)sum;
}

int main(void)
{
    /* The counter's own rate, not mhz(0): on most machines the "cpu MHz" of
     * /proc/cpuinfo that mhz reads is a core's current frequency, which
     * would scale every time by the ratio of the two. */
    double rate = counter_mhz(); /* MHz: cycles per microsecond */
    if (!(rate > 0.0)) {
        fprintf(stderr, "time_function: can't read the system clock\n");
        return 1;
    }
    for (int n = 1000; n <= 100000; n *= 10) {
        double cycles = fcyc2(sum_of_squares, n, 0, 0);
        printf("n = %6d: %10.0f cycles, %10.1f ns (%d samples)\n",
               n, cycles, cycles / rate * 1000.0, samplecount);
    }
    return 0;
}
