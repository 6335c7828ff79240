// SPDX-License-Identifier: MIT
/*
 * clock.cpp -- elapsed cycles, the clock rate, and the compensated counter.
 *
 * The counter itself is read by access_counter (tsc.cpp); everything here is
 * arithmetic on its readings and the two ways of finding the clock rate.
 */
#include "clock/clock.h"
#include "clock/tsc.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "clock/cpuinfo_rate.h"
#include "clock/tick_calibration.h"

static unsigned cyc_hi = 0;        /* counter's high half at the latest start */
static unsigned cyc_lo = 0;        /* counter's low half at the latest start */
static double cyc_per_tick = 0.0;  /* cycles charged per user tick; 0.0 = not calibrated yet */
static uint64_t start_tick = 0;    /* user ticks at the latest compensated start */
static char buf[512];              /* one line (or piece of a line) of /proc/cpuinfo */
static const char *cpuinfo_path = "/proc/cpuinfo";  /* the file core_mhz reads; tests point it elsewhere */

double cpu_ghz = 0.0;

/* ====================== Plain counter ====================== */

void start_counter(void)
{
    access_counter(&cyc_hi, &cyc_lo);
}

/* The difference of two 64-bit readings, taken on 32-bit halves: the low
 * halves are subtracted modulo 2^32, and a wrap borrows one from the high
 * halves.  hi * 2^32 + lo is exact in a double up to 2^53. */
double get_counter(void)
{
    unsigned nhi, nlo;
    access_counter(&nhi, &nlo);
    unsigned lo = nlo - cyc_lo;
    unsigned borrow = nlo < cyc_lo;
    unsigned hi = nhi - cyc_hi - borrow;
    return (double)hi * 1073741824.0 * 4.0 + (double)lo;
}

double ovhd(void)
{
    const int tries = 100;  /* enough for one try to miss every interrupt */
    double best = 0.0;
    for (int i = 0; i < tries; i++) {
        start_counter();
        double c = get_counter();
        if (i == 0 || c < best)
            best = c;
    }
    start_counter();
    return best;
}

/* ====================== Clock rate ====================== */

static const char cpuinfo_warning[] = "Can't open /proc/cpuinfo to get clock information\n";

/* core_mhz_from reads the clock rate from the file at path by memsweep's
 * rule (cpuinfo_rate.h), into buf; core_mhz passes cpuinfo_path, and tests
 * pass files of their own.  Either fallback gives the one warning, which
 * names /proc/cpuinfo whatever the path, as users only ever see that file. */
static double core_mhz_from(const char *path, int verbose)
{
    struct cpuinfo_rate rate = read_cpuinfo_rate(path, &buf);
    cpu_ghz = rate.ghz;
    /* 64-bit Arm's cpuinfo has no "cpu MHz" line, and its counter ticks at
     * a rate it states: that rate turns counts into time, with no warning
     * (a counter that states none, as x86-64's, keeps the fallback). */
    double stated = rate.source == cpuinfo_no_usable_line ? counter_stated_mhz() : 0.0;
    if (stated > 0.0 && isfinite(stated)) {
        cpu_ghz = stated / 1000.0;
        if (verbose)
            printf("Processor Clock Rate ~= %.4f GHz (the counter's stated rate)\n", cpu_ghz);
        return stated;
    }
    if (rate.source != cpuinfo_line) {
        fwrite(cpuinfo_warning, 1, sizeof cpuinfo_warning - 1, stderr);
        return rate.mhz;
    }
    if (verbose)
        printf("Processor Clock Rate ~= %.4f GHz (extracted from file)\n", cpu_ghz);
    return rate.mhz;
}

double core_mhz(int verbose)
{
    return core_mhz_from(cpuinfo_path, verbose);
}

double mhz(int verbose)
{
    return core_mhz(verbose);
}

/* A sleep cut short by a signal shortens the interval without correcting the
 * divisor; the rate then comes out low. */
double mhz_full(int verbose, int sleeptime)
{
    start_counter();
    sleep(sleeptime);
    double rate = get_counter() / ((double)sleeptime * 1e6);
    if (verbose)
        printf("Processor Clock Rate ~= %.1f MHz\n", rate);
    return rate;
}

/* ====================== The counter's own rate ====================== */

/* One reading of CLOCK_MONOTONIC_RAW is placed in counter time by reading the
 * counter just before and just after it: the clock was read somewhere within
 * that bracket, so its midpoint is off by at most half the bracket's width.
 * An interrupt or a preemption inside a try widens its bracket, so the
 * tightest of several tries is kept.  Eight tries take a few microseconds;
 * on a busy two-core guest one of them is nearly always undisturbed. */
static const int bracket_tries = 8;

/* The first interval is 4 ms and each next one twice as long.  The estimate
 * stops once two successive ones agree within 0.2 ppm, the rounding of the
 * kernel's own figure (half its third decimal, of some 2500 MHz): a looser agreement
 * lets two noisy short intervals agree by chance (at 1 ppm, estimates after
 * 6 ms were up to 0.9 ppm off here), and a tighter one could not be checked.
 * Brackets a few nanoseconds wide pin a 30 ms interval to about 0.1 ppm, so
 * it is usually met after 12 to 30 ms, fifty times inside the 10 ppm (36 ms
 * an hour) that turning cycles into time needs. */
static const long first_interval_ns = 4000000;
static const double agreement = 0.2e-6;

/* No interval starts that would end more than 0.2 s after the first reading,
 * so a call on a machine too noisy to agree returns within a quarter second
 * with its longest estimate (4 + 8 + ... + 64 ms = 124 ms of intervals). */
static const int64_t budget_ns = 200000000;

/* bracketed_clock places one reading of CLOCK_MONOTONIC_RAW in counter time:
 * *tsc is the midpoint of the tightest bracket of bracket_tries tries, and
 * *ns the clock's reading within it, in nanoseconds.  It returns 0, or -1
 * when the clock can't be read. */
static int bracketed_clock(uint64_t *tsc, int64_t *ns)
{
    uint64_t narrowest = UINT64_MAX;
    for (int i = 0; i < bracket_tries; i++) {
        unsigned hi, lo;
        struct timespec now;
        access_counter(&hi, &lo);
        uint64_t before = (uint64_t)hi << 32 | lo;
        if (clock_gettime(CLOCK_MONOTONIC_RAW, &now) != 0)
            return -1;
        access_counter(&hi, &lo);
        uint64_t width = ((uint64_t)hi << 32 | lo) - before;
        if (width < narrowest) {
            narrowest = width;
            *tsc = before + width / 2;
            *ns = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
        }
    }
    return 0;
}

/* Counter cycles per nanosecond are thousands of cycles per microsecond, so
 * the rate in MHz is 1000 times cycles over nanoseconds.  Every reading is a
 * local: a measurement under way keeps its start. */
double counter_mhz(void)
{
    uint64_t tsc0 = 0, tsc = 0;
    int64_t ns0 = 0, ns = 0;
    if (bracketed_clock(&tsc0, &ns0) != 0)
        return 0.0;

    double previous = 0.0;
    for (long interval = first_interval_ns;; interval *= 2) {
        /* A sleep cut short by a signal only shortens an interval that is
         * measured anyway. */
        struct timespec pause = {interval / 1000000000, interval % 1000000000};
        nanosleep(&pause, NULL);
        if (bracketed_clock(&tsc, &ns) != 0)
            return 0.0;
        int64_t elapsed = ns - ns0;
        if (elapsed <= 0)
            return 0.0;  /* a clock that stands still or runs back measures nothing */
        double rate = (double)(tsc - tsc0) / (double)elapsed * 1000.0;
        if (previous > 0.0 && fabs(rate - previous) <= agreement * rate)
            return rate;
        if (elapsed + 2 * interval > budget_ns)
            return rate;  /* out of time: the longest interval is the best estimate */
        previous = rate;
    }
}

/* ====================== Compensated counter ====================== */

void start_comp_counter(void)
{
    if (cyc_per_tick == 0.0) {
        calibrate_ticks(&cyc_per_tick, start_counter, get_counter);
        printf("Setting cyc_per_tick to %f\n", cyc_per_tick);
    }
    /* The tick count is taken before the counter starts, and get_comp_counter
     * takes it after the counter is read, so the ticks span the cycles. */
    start_tick = user_ticks();
    start_counter();
}

double get_comp_counter(void)
{
    double time = get_counter();
    double ticks = (double)(user_ticks() - start_tick);
    return time - ticks * cyc_per_tick;
}
