// SPDX-License-Identifier: MIT
/*
 * clock.h -- the cycle counter and the clock rate.
 *
 * What is measured: elapsed time-stamp counter cycles, returned as a double.
 * Clock rates are in MHz wherever a function returns one; the only GHz value
 * is the global cpu_ghz.
 *
 * What is not promised:
 *  - A reading is the bare RDTSC instruction: it is not serialising, so the
 *    processor may execute a few instructions on either side of it out of order.
 *  - The counter may not tick at the core's clock.  On many current machines it
 *    runs at a fixed rate, while the "cpu MHz" line of /proc/cpuinfo shows a
 *    core's current frequency; cycles converted with that rate are off by the
 *    ratio of the two.
 *  - Counters of different processors need not agree; measure on one.
 *
 * One start reading serves the plain counter, the compensated counter and the
 * timed-sleep estimate alike: starting any of them (start_counter, ovhd,
 * mhz_full, start_comp_counter) restarts the others.  counter_mhz is not one
 * of them: it keeps its readings to itself, so it can run in the middle of a
 * measurement.  Nothing here is thread-safe.
 *
 * The header works from C and C++; every name has C linkage.
 */
#ifndef MEMSWEEP_CLOCK_H
#define MEMSWEEP_CLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Plain counter. */

/* access_counter reads the time-stamp counter: its high 32 bits through hi,
 * its low 32 bits through lo.  Every other reading is built on it. */
void access_counter(unsigned *hi, unsigned *lo);

/* start_counter records the counter as the start of a measurement. */
void start_counter(void);

/* get_counter returns the cycles elapsed since the latest start of any kind,
 * exactly (up to 2^53 cycles) and never negative, also across a wrap of the
 * counter's low half.  It may be called any number of times after one start. */
double get_counter(void);

/* ovhd returns the cycles that an empty window costs: the smallest reading of
 * get_counter taken right after start_counter, over a few tries -- the
 * statistic fcyc2 reports, so the two can be subtracted.  Back-to-back
 * readings can overlap, so this can be far below a typical window.  It leaves
 * the counter restarted, as start_counter does. */
double ovhd(void);

/* Clock rate. */

/* cpu_ghz holds the rate in GHz found by the latest call of core_mhz; 0.0
 * before the first call. */
extern double cpu_ghz;

/* core_mhz returns the clock rate in MHz from the first "cpu MHz" line of
 * /proc/cpuinfo and sets cpu_ghz.  When the file can't be opened it warns on
 * standard error and returns 2147.483656; when it has no usable line (none, one
 * that does not parse, or a rate that is not a positive number), it gives the
 * same warning and returns 1000.0.  A non-zero verbose prints the rate
 * when it came from the file. */
double core_mhz(int verbose);

/* mhz is core_mhz by the name the sweep asks for. */
double mhz(int verbose);

/* mhz_full returns the clock rate in MHz counted across sleep(sleeptime):
 * cycles per microsecond slept.  It takes sleeptime (>= 1) seconds, restarts
 * the counter, and prints the rate when verbose is non-zero. */
double mhz_full(int verbose, int sleeptime);

/* counter_mhz returns the rate at which the counter ticks, in MHz, measured
 * against the system's CLOCK_MONOTONIC_RAW: the rate that turns cycles into
 * time, whatever the cores' clock does.  It times intervals of 4 ms, 8 ms, ...
 * until two successive estimates agree within 0.2 ppm, and takes at most a
 * quarter of a second.  It returns 0.0 when the system clock can't be read
 * (clock_gettime fails) or does not advance.  It leaves the start reading of
 * start_counter alone. */
double counter_mhz(void);

/* Compensated counter: charges a calibrated number of cycles for every tick
 * of user CPU time (the tms_utime of times()) that passes while measuring. */

/* start_comp_counter calibrates the cycles per tick the first time it runs
 * (and again at each start while no calibration has found a value), printing
 * "Setting cyc_per_tick to ..." on standard output; then it starts the
 * counter. */
void start_comp_counter(void);

/* get_comp_counter returns the cycles since the latest start less the
 * calibrated cycles for every tick that passed; it can be negative. */
double get_comp_counter(void);

#ifdef __cplusplus
}
#endif

#endif /* MEMSWEEP_CLOCK_H */
