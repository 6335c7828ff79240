// SPDX-License-Identifier: MIT
/*
 * sweep.h -- the array that memsweep reads, its read kernel, and one grid
 * point of the sweep.  C linkage, usable from C and C++.
 */
#ifndef MEMSWEEP_SWEEP_H
#define MEMSWEEP_SWEEP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* data is the 128 MiB array that is read: 2^24 signed 64-bit elements. */
#define DATA_ELEMS 16777216
extern int64_t data[DATA_ELEMS];

/* init_data stores i into a[i] for every i below n; nothing when n <= 0. */
void init_data(int64_t *a, int n);

/* test reads elements of data below index elems, four strided elements per
 * pass and then every remaining element one by one, and returns their sum
 * truncated to 32 bits.  stride >= 1, stride * 4 must fit in an int, and
 * elems <= DATA_ELEMS; elems <= 0 reads nothing.  It has the timed_fn shape. */
int test(int elems, int stride);

/* run measures one grid point with fcyc2 and returns its throughput in MB/s
 * (bytes per microsecond): (size / stride) bytes in cycles / clock_mhz
 * microseconds.  A call that a counter with a rate of its own counts in
 * fewer than run_in_row_steps() of its steps is timed over calls in a row. */
double run(int size, int stride, double clock_mhz);

/* run_in_row_steps returns the counter's steps below which run times calls
 * in a row: 100 for a counter that states its own rate (64-bit Arm's
 * generic timer), 0.0 for one that counts the cores' cycles (x86-64's). */
double run_in_row_steps(void);

#ifdef __cplusplus
}
#endif

#endif /* MEMSWEEP_SWEEP_H */
