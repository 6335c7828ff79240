// SPDX-License-Identifier: MIT
/*
 * harness.cpp -- the best-of-K measuring loops, over the cycle counter and
 * over the time of day, and the sample store they share.
 */
#include "harness/harness.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include "clock/clock.h"
#include "clock/tick_calibration.h"

static double *values = NULL;  /* the k smallest samples, ascending; NULL before the first measurement */
static int capacity = 0;       /* how many samples the samples array holds */

static double Mhz = 0.0;           /* cycles per microsecond of the time of day; 0.0 = not measured yet */
static struct timeval tstart;      /* time of day at the latest start of either pair */
static double cyc_per_tick = 0.0;  /* cycles charged per user tick by the compensated pair; 0.0 = not calibrated */
static uint64_t start_tick = 0;    /* user ticks at the latest compensated start */

int samplecount = 0;
double *samples = NULL;

/* ====================== Sample store ====================== */

void add_sample(double val, int k)
{
    if (values == NULL)
        return;

    int pos = 0;
    if (samplecount < k) {
        pos = samplecount;
        values[pos] = val;
    } else if (val < values[k - 1]) {
        pos = k - 1;
        values[pos] = val;
    }
    /* Every sample is recorded while there is room; a caller that adds more
     * samples than the measurement made room for still has them counted and
     * ranked, but not recorded past the end of the array. */
    if (samplecount < capacity)
        samples[samplecount] = val;
    samplecount++;

    /* One insertion step keeps the store sorted.  The comparison is strict,
     * so among equal samples the earlier stays in front. */
    while (pos > 0 && values[pos - 1] > values[pos]) {
        double t = values[pos - 1];
        values[pos - 1] = values[pos];
        values[pos] = t;
        pos--;
    }
}

double get_min(void)
{
    return values == NULL ? 0.0 : values[0];
}

double err(int k)
{
    if (samplecount < k)
        return 1000.0;
    return (values[k - 1] - values[0]) / values[0];
}

/* converged is has_converged with the factor 1 + epsilon computed by the
 * caller, once per measurement. */
static int converged(int k, double factor, int maxsamples)
{
    if (samplecount >= k && values[k - 1] <= factor * values[0])
        return samplecount;
    if (samplecount >= maxsamples)
        return -1;
    return 0;
}

int has_converged(int k, double epsilon, int maxsamples)
{
    return converged(k, 1.0 + epsilon, maxsamples);
}

/* new_store frees the previous measurement's store and allocates an empty one
 * for k best values and maxsamples + k recorded samples. */
static void new_store(int k, int maxsamples)
{
    free(values);
    free(samples);
    capacity = maxsamples + k;
    values = static_cast<double *>(calloc((size_t)k, sizeof(double)));
    samples = static_cast<double *>(calloc((size_t)capacity, sizeof(double)));
    samplecount = 0;
    if (values == NULL || samples == NULL) {
        fprintf(stderr, "Can't allocate memory for %d samples\n", capacity);
        exit(1);
    }
}

/* ====================== Time-of-day timer ====================== */

void start_counter_tod(void)
{
    if (Mhz == 0.0)
        Mhz = mhz_full(0, 10);
    gettimeofday(&tstart, NULL);
}

double get_counter_tod(void)
{
    struct timeval now;
    gettimeofday(&now, NULL);
    int64_t secs = (int64_t)now.tv_sec - (int64_t)tstart.tv_sec;
    long usecs = (long)(now.tv_usec - tstart.tv_usec);  /* may be negative; it is simply added */
    return ((double)secs * 1e6 + (double)usecs) * Mhz;
}

void start_comp_counter_tod(void)
{
    if (cyc_per_tick == 0.0)
        calibrate_ticks(&cyc_per_tick, start_counter_tod, get_counter_tod);
    /* Ticks before the start here, after the reading in get_comp_counter_tod,
     * so the ticks span the time. */
    start_tick = user_ticks();
    start_counter_tod();
}

double get_comp_counter_tod(void)
{
    double t = get_counter_tod();
    return t - (double)(user_ticks() - start_tick) * cyc_per_tick;
}

/* ====================== Measuring loops ====================== */

/* The four timers a measurement can use. */
enum timer { CYCLES, CYCLES_COMP, TIME_OF_DAY, TIME_OF_DAY_COMP };

/* measure is the one best-of-K loop behind fcyc2_full and fcyc2_full_tod.  It
 * replaces the store, then takes samples until converged says stop: once the
 * k best agree, or after maxsamples samples (at least one).  The timer is
 * chosen before each window opens, so only the timed call lies between a
 * start and its reading; the cycle counter's warm-up call and all the
 * bookkeeping stay outside. */
static double measure(timed_fn f, int param1, int param2, int k, int maxsamples, double epsilon,
                      enum timer timer)
{
    new_store(k, maxsamples);
    const double factor = 1.0 + epsilon;
    do {
        double cycles = 0.0;
        switch (timer) {
        case CYCLES:
            f(param1, param2);
            start_counter();
            f(param1, param2);
            cycles = get_counter();
            break;
        case CYCLES_COMP:
            f(param1, param2);
            start_comp_counter();
            f(param1, param2);
            cycles = get_comp_counter();
            break;
        case TIME_OF_DAY:
            start_counter_tod();
            f(param1, param2);
            cycles = get_counter_tod();
            break;
        case TIME_OF_DAY_COMP:
            start_comp_counter_tod();
            f(param1, param2);
            cycles = get_comp_counter_tod();
            break;
        }
        add_sample(cycles, k);
    } while (!converged(k, factor, maxsamples));
    return values[0];
}

double fcyc2_full(timed_fn f, int param1, int param2, int reserved,
                  int k, int maxsamples, double epsilon, int compensate)
{
    (void)reserved;
    return measure(f, param1, param2, k, maxsamples, epsilon, compensate ? CYCLES_COMP : CYCLES);
}

double fcyc2(timed_fn f, int param1, int param2, int reserved)
{
    return fcyc2_full(f, param1, param2, reserved, 3, 500, 0.01, 0);
}

double fcyc2_full_tod(timed_fn f, int param1, int param2, int reserved,
                      int k, int maxsamples, double epsilon, int compensate)
{
    (void)reserved;
    return measure(f, param1, param2, k, maxsamples, epsilon,
                   compensate ? TIME_OF_DAY_COMP : TIME_OF_DAY);
}

double fcyc2_tod(timed_fn f, int param1, int param2, int reserved)
{
    return fcyc2_full_tod(f, param1, param2, reserved, 3, 20, 0.01, 0);
}
