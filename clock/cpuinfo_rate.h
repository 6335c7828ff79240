// SPDX-License-Identifier: MIT
/*
 * cpuinfo_rate.h -- memsweep's rule for the clock rate in /proc/cpuinfo,
 * written once for the clock unit (core_mhz) and for memsweep-check, which
 * must read the rate exactly as memsweep does.  Private: not installed.
 *
 * The rule: only the first line that mentions "cpu MHz" counts, and it must
 * start with "cpu MHz\t:" and a number; fgets reads a long line in pieces of
 * 511 characters into a 512-byte buffer, and each piece counts as a line.
 * The rate is kept in GHz (the MHz divided by 1000) and the MHz are computed
 * back from it.  A rate that is not positive and finite is no rate.
 *
 * The reader is static inline, and the types have no storage, so the header
 * adds no name to the symbol table of the timing library or of any program.
 * The caller owns the buffer: the clock unit's is a file-scope one.
 */
#ifndef MEMSWEEP_CLOCK_CPUINFO_RATE_H
#define MEMSWEEP_CLOCK_CPUINFO_RATE_H

#include <math.h>
#include <stdio.h>
#include <string.h>

/* Where a rate comes from: the first "cpu MHz" line, or one of two
 * fallbacks. */
enum cpuinfo_source {
    cpuinfo_line,           /* the line gave a usable rate */
    cpuinfo_no_file,        /* the file could not be opened */
    cpuinfo_no_usable_line  /* it opened, but gave no usable rate */
};

/* One reading of the rate: its source, the rate in GHz (what core_mhz
 * keeps in cpu_ghz) and in MHz (what core_mhz returns). */
struct cpuinfo_rate {
    enum cpuinfo_source source;
    double ghz;
    double mhz;
};

/* read_cpuinfo_rate_from reads the rate from an open file by memsweep's
 * rule, one piece of a line at a time into *buf; it prints nothing and
 * leaves the file open.  memsweep-check hands it a file's text, read in
 * its own way, as a memory file. */
static inline struct cpuinfo_rate read_cpuinfo_rate_from(FILE *fp, char (*buf)[512])
{
    /* Only the first piece that mentions "cpu MHz" counts; a number that
     * does not follow "cpu MHz\t:" at its start leaves the rate at 0. */
    double ghz = 0.0;
    while (fgets(*buf, sizeof *buf, fp) != NULL) {
        if (strstr(*buf, "cpu MHz") != NULL) {
            double m = 0.0;
            if (sscanf(*buf, "cpu MHz\t: %lf", &m) != 1)
                m = 0.0;
            ghz = m / 1000.0;
            break;
        }
    }

    if (!(ghz > 0.0) || !isfinite(ghz)) {
        /* The file opened but gave no usable rate: no such line (arm64), a
         * line that does not parse ("cpu MHz : Unknown"), or a rate of zero.
         * A negative, infinite or not-a-number rate is no more usable: it
         * would make every figure of the table meaningless. */
        struct cpuinfo_rate unusable = {cpuinfo_no_usable_line, 1.0, 1000.0};
        return unusable;
    }
    /* The MHz are computed back from the GHz, not taken from the line. */
    struct cpuinfo_rate line = {cpuinfo_line, ghz, ghz * 1000.0};
    return line;
}

/* cpuinfo_no_file_rate is the rate without the file at all, as in a
 * container without /proc. */
static inline struct cpuinfo_rate cpuinfo_no_file_rate(void)
{
    struct cpuinfo_rate none = {cpuinfo_no_file, 2.147483656, 2147.483656};
    return none;
}

/* read_cpuinfo_rate reads the rate from the file at path by memsweep's
 * rule, one piece of a line at a time into *buf; it prints nothing. */
static inline struct cpuinfo_rate read_cpuinfo_rate(const char *path, char (*buf)[512])
{
    FILE *fp = fopen(path, "r");
    if (fp == NULL)
        return cpuinfo_no_file_rate();
    struct cpuinfo_rate rate = read_cpuinfo_rate_from(fp, buf);
    fclose(fp);
    return rate;
}

#endif /* MEMSWEEP_CLOCK_CPUINFO_RATE_H */
