/*
 * clock.cpp -- elapsed cycles, the clock rate, and the compensated counter.
 *
 * The counter itself is read by access_counter (tsc.cpp); everything here is
 * arithmetic on its readings and the two ways of finding the clock rate.
 */
#include "clock/clock.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

/* core_mhz_from reads the clock rate from the file at path; core_mhz passes
 * cpuinfo_path, and tests pass files of their own.  The warning names
 * /proc/cpuinfo whatever the path, as users only ever see that file. */
static double core_mhz_from(const char *path, int verbose)
{
    FILE *fp = fopen(path, "r");
    cpu_ghz = 0.0;
    if (fp == NULL) {
        /* No file at all, as in a container without /proc. */
        fwrite(cpuinfo_warning, 1, sizeof cpuinfo_warning - 1, stderr);
        cpu_ghz = 2.147483656;
        return 2147.483656;
    }

    /* Only the first line that mentions "cpu MHz" counts, and it must start
     * with it.  fgets reads a long line in pieces of 511 characters, and each
     * piece is searched as if it were a line. */
    while (fgets(buf, sizeof buf, fp) != NULL) {
        if (strstr(buf, "cpu MHz") != NULL) {
            double m = 0.0;
            sscanf(buf, "cpu MHz\t: %lf", &m);
            cpu_ghz = m / 1000.0;
            break;
        }
    }
    fclose(fp);

    if (!(cpu_ghz > 0.0) || !isfinite(cpu_ghz)) {
        /* The file opened but gave no usable rate: no such line (arm64), a
         * line that does not parse ("cpu MHz : Unknown"), or a rate of zero.
         * A negative, infinite or not-a-number rate is no more usable: it
         * would make every figure of the table meaningless. */
        fwrite(cpuinfo_warning, 1, sizeof cpuinfo_warning - 1, stderr);
        cpu_ghz = 1.0;
        return 1000.0;
    }
    if (verbose)
        printf("Processor Clock Rate ~= %.4f GHz (extracted from file)\n", cpu_ghz);
    /* Computed back from the stored GHz value, not taken from m itself. */
    return cpu_ghz * 1000.0;
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
