// SPDX-License-Identifier: MIT
/*
 * harness.h -- best-of-K measurement of a function of two integers.
 *
 * fcyc2 calls a function over and over, times each call with the cycle
 * counter (clock.h), and keeps the K smallest counts in a sorted store.
 * fcyc2_tod does the same with the time of day, scaled to cycles.  It
 * stops as soon as the K smallest agree within a relative tolerance, or at a
 * sample limit, and returns the smallest count, in cycles.
 *
 * The store describes the latest measurement and stays readable until the
 * next one starts: get_min, err, has_converged, and the globals samplecount
 * and samples.  There is one store and one counter start per process, so a
 * timed function may not itself start a measurement, and nothing here is
 * thread-safe.
 *
 * The header works from C and C++; every name has C linkage.  (err shares its
 * name with a BSD function of <err.h>; don't include both.)
 */
#ifndef MEMSWEEP_HARNESS_H
#define MEMSWEEP_HARNESS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The function measured: called as f(param1, param2); its result is
 * discarded. */
typedef int (*timed_fn)(int param1, int param2);

/* Sample store.  k is the K of the current measurement; it is not stored, so
 * callers pass the same k to every call. */

/* samplecount is the number of samples taken in the latest measurement. */
extern int samplecount;

/* samples records every sample of the latest measurement in the order taken
 * (room for maxsamples + k of them); NULL before the first measurement. */
extern double *samples;

/* add_sample counts one sample, records it in samples, and keeps it among the
 * k smallest when it is smaller than the largest kept.  Equal samples keep
 * the order they came in.  Before the first measurement it does nothing. */
void add_sample(double val, int k);

/* get_min returns the smallest sample kept; 0.0 before the first
 * measurement. */
double get_min(void);

/* err returns the relative spread of the k smallest samples,
 * (kth - smallest) / smallest, or 1000.0 while fewer than k samples exist. */
double err(int k);

/* has_converged returns samplecount (> 0) when the k smallest samples agree
 * within epsilon (kth <= (1 + epsilon) * smallest), else -1 when maxsamples
 * samples have been taken, else 0.  Non-zero means stop. */
int has_converged(int k, double epsilon, int maxsamples);

/* Measuring loops. */

/* fcyc2_full measures f(param1, param2) and returns its smallest cycle count.
 * Each sample calls f twice: once untimed to warm the caches, then once
 * between a start and a reading of the counter.  It stops when the k smallest
 * agree within epsilon or after maxsamples samples (at least one).  A
 * non-zero compensate uses the tick-compensated counter.  reserved is
 * ignored.  If the store can't be allocated it writes one line to standard
 * error and exits with status 1. */
double fcyc2_full(timed_fn f, int param1, int param2, int reserved,
                  int k, int maxsamples, double epsilon, int compensate);

/* fcyc2 is fcyc2_full with k = 3, at most 500 samples, a tolerance of 1% and
 * the plain counter. */
double fcyc2(timed_fn f, int param1, int param2, int reserved);

/* Time-of-day timer: microseconds from gettimeofday, times a clock rate in
 * MHz, so that readings come out in cycles.  Its resolution is one
 * microsecond.  The rate is measured once, by the first start of either pair:
 * mhz_full(0, 10), a quiet ten-second sleep that also restarts the cycle
 * counter. */

/* start_counter_tod records the time of day as the start; the first call
 * takes ten seconds to measure the rate. */
void start_counter_tod(void);

/* get_counter_tod returns the time since the latest start, in cycles; 0.0
 * before any start.  A step of the system clock can make it negative. */
double get_counter_tod(void);

/* start_comp_counter_tod calibrates this timer's cycles per tick of user CPU
 * time the first time (silently, and again at each start while no
 * calibration has found a value), then starts the timer. */
void start_comp_counter_tod(void);

/* get_comp_counter_tod returns get_counter_tod less the calibrated cycles for
 * every tick that passed since the start; it can be negative. */
double get_comp_counter_tod(void);

/* fcyc2_full_tod is fcyc2_full timed with the time of day, with the same
 * sample store: a measurement of either kind replaces the other's.  Each
 * sample calls f once: there is no warm-up call. */
double fcyc2_full_tod(timed_fn f, int param1, int param2, int reserved,
                      int k, int maxsamples, double epsilon, int compensate);

/* fcyc2_tod is fcyc2_full_tod with k = 3, at most 20 samples, a tolerance of
 * 1% and the plain time-of-day timer. */
double fcyc2_tod(timed_fn f, int param1, int param2, int reserved);

#ifdef __cplusplus
}
#endif

#endif /* MEMSWEEP_HARNESS_H */
