// SPDX-License-Identifier: MIT
/*
 * tsc.cpp -- the one place that reads the hardware counter.
 *
 * It lives in a file of its own so that tests can link a scripted counter in
 * its place, and so that a port to another processor touches only this file:
 * x86-64's time-stamp counter, and 64-bit Arm's generic timer.
 */
#include "clock/clock.h"
#include "clock/tsc.h"

#include <stdint.h>

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

/* The time-stamp counter states no rate of its own. */
double counter_stated_mhz(void)
{
    return 0.0;
}

#elif defined(__aarch64__)

/* The generic timer's virtual count, which ticks at a fixed rate of its own
 * (1 to 1000 MHz), not the cores' clock.  The ISB before it keeps the read
 * from being taken early, ahead of the instructions before it. */
void access_counter(unsigned *hi, unsigned *lo)
{
    uint64_t count;
    __asm__ volatile("isb\n\tmrs %0, cntvct_el0" : "=r"(count));
    *hi = (unsigned)(count >> 32);
    *lo = (unsigned)count;
}

/* CNTFRQ_EL0 holds the rate the firmware says the count ticks at, in Hz;
 * some guests report nonsense, so it is checked against the measured rate
 * wherever that matters. */
double counter_stated_mhz(void)
{
    uint64_t hz;
    __asm__ volatile("mrs %0, cntfrq_el0" : "=r"(hz));
    return (double)hz / 1e6;
}

#else
#error "memsweep reads the x86-64 time-stamp counter or the 64-bit Arm generic timer; this processor has neither"
#endif
