// SPDX-License-Identifier: MIT
/*
 * sweep.cpp -- filling the array and measuring one grid point.
 */
#include "sweep/sweep.h"

#include "harness/harness.h"

void init_data(int64_t *a, int n)
{
    for (int i = 0; i < n; i++)
        a[i] = i;
}

/* The order of operations decides the printed digits: microseconds first,
 * then bytes divided by them.  size / stride is a whole number of bytes,
 * truncated. */
double run(int size, int stride, double clock_mhz)
{
    double cycles = fcyc2(test, size >> 3, stride, 0);
    return (double)(size / stride) / (cycles / clock_mhz);  // NOLINT(bugprone-integer-division)
}
