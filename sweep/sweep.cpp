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
 * MHz, some of them counting in steps of many counts) may step a few times
 * over a small set's call, or not at all, where the time-stamp counter
 * counts hundreds of cycles.  A call it counts fewer than in_row_steps of
 * its steps is timed over calls in a row instead, their number doubled
 * until the best window counts that many, so that one step is 1 % of it at
 * most; the figure is then one call's, without the counter's own reading
 * in it.  The step is what every count it gave has in common: the greatest
 * common divisor of the samples' counts. */
static const double in_row_steps = 100.0;
static const int most_in_row = 1 << 16;
static int calls_in_row = 1;
static uint64_t step_seen = 0; /* 0: no count above 0 yet */

/* see_samples takes the latest measurement's counts into the step. */
static void see_samples(void)
{
    for (int i = 0; i < samplecount; i++) {
        uint64_t count = samples[i] > 0.0 ? (uint64_t)samples[i] : 0;
        while (count != 0) {
            uint64_t rest = step_seen % count;
            step_seen = count;
            count = rest;
        }
    }
}

/* in_row_target is the counts a call must reach to be timed alone. */
static double in_row_target(void)
{
    return in_row_steps * (double)(step_seen > 0 ? step_seen : 1);
}

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
        see_samples();
        if (cycles >= in_row_target())
            break;
    }
    double per_call = calls_in_row > most_in_row ? 0.0 : cycles / calls_in_row;
    calls_in_row = 1;
    return per_call;
}

double run_in_row_steps(void)
{
    return counter_stated_mhz() > 0.0 ? in_row_steps : 0.0;
}

/* The order of operations decides the printed digits: microseconds first,
 * then bytes divided by them.  size / stride is a whole number of bytes,
 * truncated. */
double run(int size, int stride, double clock_mhz)
{
    double cycles = fcyc2(test, size >> 3, stride, 0);
    if (run_in_row_steps() > 0.0) {
        see_samples();
        if (cycles < in_row_target())
            cycles = in_row_cycles(size >> 3, stride);
    }
    return (double)(size / stride) / (cycles / clock_mhz);  // NOLINT(bugprone-integer-division)
}
