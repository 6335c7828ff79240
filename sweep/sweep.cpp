// SPDX-License-Identifier: MIT
/*
 * sweep.cpp -- filling the array and measuring one grid point.
 */
#include "sweep/sweep.h"

#include "clock/tsc.h"
#include "harness/harness.h"

void init_data(int64_t *a, int n)
{
    for (int i = 0; i < n; i++)
        a[i] = i;
}

/* A counter with a rate of its own (64-bit Arm's generic timer, 1 to 1000
 * MHz) may tick a few times over a small set's call, or not at all, where
 * the time-stamp counter counts hundreds of cycles.  A call it counts fewer
 * than in_row_counts times is timed over calls in a row instead, their
 * number doubled until the best window counts that many, so that one tick
 * is 1 % of it at most; the figure is then one call's, without the
 * counter's own reading in it. */
static const double in_row_counts = 100.0;
static const int most_in_row = 1 << 16;
static int calls_in_row = 1;

/* test_in_row calls test calls_in_row times.  The empty assembly hides
 * from the compiler that every call is the same. */
static int test_in_row(int elems, int stride)
{
    int sum = 0;
    for (int i = 0; i < calls_in_row; i++) {
        __asm__ volatile("" : "+r"(elems));
        sum += test(elems, stride);
    }
    return sum;
}

/* in_row_cycles times test over calls in a row and returns one call's
 * share of the best window; 0.0 where even the most calls count nothing. */
static double in_row_cycles(int elems, int stride)
{
    double cycles = 0.0;
    for (calls_in_row = 2; calls_in_row <= most_in_row; calls_in_row *= 2) {
        cycles = fcyc2(test_in_row, elems, stride, 0);
        if (cycles >= in_row_counts)
            break;
    }
    double per_call = calls_in_row > most_in_row ? 0.0 : cycles / calls_in_row;
    calls_in_row = 1;
    return per_call;
}

double run_in_row_below(void)
{
    return counter_stated_mhz() > 0.0 ? in_row_counts : 0.0;
}

/* The order of operations decides the printed digits: microseconds first,
 * then bytes divided by them.  size / stride is a whole number of bytes,
 * truncated. */
double run(int size, int stride, double clock_mhz)
{
    double cycles = fcyc2(test, size >> 3, stride, 0);
    if (cycles < run_in_row_below())
        cycles = in_row_cycles(size >> 3, stride);
    return (double)(size / stride) / (cycles / clock_mhz);  // NOLINT(bugprone-integer-division)
}
