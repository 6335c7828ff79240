// SPDX-License-Identifier: MIT
/*
 * tsc.h -- what the counter's one file (tsc.cpp) tells beside its reading:
 * the rate the counter states of itself.  Private to the timing library and
 * this project's commands; not installed.
 */
#ifndef MEMSWEEP_CLOCK_TSC_H
#define MEMSWEEP_CLOCK_TSC_H

#ifdef __cplusplus
extern "C" {
#endif

/* counter_stated_mhz returns the rate the counter states it ticks at, in
 * MHz: 64-bit Arm's CNTFRQ_EL0; 0.0 where the counter states none (x86-64's
 * time-stamp counter). */
double counter_stated_mhz(void);

#ifdef __cplusplus
}
#endif

#endif /* MEMSWEEP_CLOCK_TSC_H */
