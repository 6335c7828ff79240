// SPDX-License-Identifier: MIT
/*
 * memsweep -- how fast this machine reads memory.
 *
 * memsweep reads working sets of 128 MiB down to 16 KiB at strides of 1 to 15
 * elements and prints one line per grid point, after one empty line:
 *
 *     label <TAB> stride <TAB> throughput
 *
 *  - label: the working set is 2^(label + 13) bytes, 14 for 128 MiB down to
 *    1 for 16 KiB.
 *  - stride: the distance between elements read, in 8-byte elements.
 *  - throughput: bytes read per second, in units of 10^9 (1000 MB/s),
 *    rounded to a whole number.  Each grid point is the best of K runs of the
 *    read kernel, timed with the time-stamp counter and turned into time with
 *    the clock rate of /proc/cpuinfo.
 *
 * Each row is written as soon as it is measured.  It takes no arguments,
 * reads no input, and exits with status 0, or 1 when standard output could
 * not be written (at the first row that could not) or the memory for a
 * measurement's samples could not be allocated.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "clock/clock.h"
#include "sweep/sweep.h"

/* output_failed reports a table that could not reach its reader, in one
 * line, and ends the run: the rows still to come would be lost as well. */
static void output_failed(void)
{
    fprintf(stderr, "memsweep: can't write standard output: %s\n",
            errno != 0 ? strerror(errno) : "write error");
    exit(1);
}

int main(void)
{
    /* --- SETUP: every element holds its own index; then the clock rate. --- */
    init_data(data, DATA_ELEMS);
    double clock_mhz = mhz(0);

    /* --- SWEEP: sizes from 128 MiB down to 16 KiB, strides 1 to 15. --- */
    putchar('\n');
    int size = 1 << 27;
    for (int label = 14; label >= 1; label--, size >>= 1) {
        for (int stride = 1; stride <= 15; stride++) {
            double throughput = run(size, stride, clock_mhz) / 1000.0;
            /* Each row goes out as soon as it is measured, between two
             * measurements: a run that is stopped keeps the rows it
             * finished, and a full disk ends the run at the first row it
             * refuses, not a sweep later. */
            errno = 0;
            printf("%d\t%d\t%.0f\n", label, stride, throughput);
            if (fflush(stdout) != 0 || ferror(stdout))
                output_failed();
        }
    }

    /* --- EXIT --- */
    errno = 0;
    if (fclose(stdout) != 0)
        output_failed();
    exit(0);
}
