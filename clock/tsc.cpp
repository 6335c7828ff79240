// SPDX-License-Identifier: MIT
/*
 * tsc.cpp -- the one place that reads the hardware counter.
 *
 * It lives in a file of its own so that tests can link a scripted counter in
 * its place, and so that a port to another processor touches only this file.
 */
#include "clock/clock.h"

#if defined(__x86_64__)

/* The asm is volatile, so every call executes RDTSC anew at the point where it
 * stands; no fence is placed around it, which keeps a reading short. */
void access_counter(unsigned *hi, unsigned *lo)
{
    unsigned h, l;
    __asm__ volatile("rdtsc" : "=a"(l), "=d"(h));
    *hi = h;
    *lo = l;
}

#else
#error "memsweep reads the x86-64 time-stamp counter; this processor has none it knows"
#endif
