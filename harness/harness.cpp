/*
 * harness.cpp -- the best-of-K measuring loop and its sample store.
 */
#include "harness/harness.h"

#include <stdio.h>
#include <stdlib.h>

#include "clock/clock.h"

static double *values = NULL;  /* the k smallest samples, ascending; NULL before the first measurement */
static int capacity = 0;       /* how many samples the samples array holds */

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
    values = (double *)calloc((size_t)k, sizeof(double));
    samples = (double *)calloc((size_t)capacity, sizeof(double));
    samplecount = 0;
    if (values == NULL || samples == NULL) {
        fprintf(stderr, "Can't allocate memory for %d samples\n", capacity);
        exit(1);
    }
}

/* ====================== Measuring loop ====================== */

double fcyc2_full(timed_fn f, int param1, int param2, int reserved,
                  int k, int maxsamples, double epsilon, int compensate)
{
    (void)reserved;
    new_store(k, maxsamples);
    const double factor = 1.0 + epsilon;

    /* Only the timed call lies between the start and the reading; the
     * warm-up call and the bookkeeping stay outside the window. */
    do {
        double cycles;
        f(param1, param2);
        if (compensate) {
            start_comp_counter();
            f(param1, param2);
            cycles = get_comp_counter();
        } else {
            start_counter();
            f(param1, param2);
            cycles = get_counter();
        }
        add_sample(cycles, k);
    } while (samplecount < maxsamples && !converged(k, factor, maxsamples));

    return values[0];
}

double fcyc2(timed_fn f, int param1, int param2, int reserved)
{
    return fcyc2_full(f, param1, param2, reserved, 3, 500, 0.01, 0);
}
