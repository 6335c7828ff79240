// SPDX-License-Identifier: MIT
/*
 * chase.h -- the load-to-use latency of memsweep-record: a dependent pointer
 * chase through a buffer's 64-byte lines, and its measurement with the
 * harness.  Private to memsweep-record; not installed.
 *
 * Each line's first 8 bytes hold the address of the next line of the chase,
 * one random cycle through the working set; every load's address is the
 * value the load before it returned, so no two loads overlap and each one
 * costs the full time from the load's start to the use of its value.
 *
 * The kernel and its start pointer have C linkage, so that their names are
 * plain in the executable and a test finds the kernel's machine code by name.
 * The measurements, chase_cycles and chase_onward, live in a unit of their
 * own (chase_run.cpp)
 * so that tests link a stand-in for it, as they do for the sweep's run.
 */
#ifndef MEMSWEEP_RECORD_CHASE_H
#define MEMSWEEP_RECORD_CHASE_H

#ifdef __cplusplus
extern "C" {
#endif

/* chase_start is the line the chase starts from; it is set before a
 * measurement and not changed by the kernel. */
extern const void *chase_start;

/* chase follows `loads` links from chase_start and returns the low 32 bits
 * of the final address; loads <= 0 loads nothing.  It has the timed_fn
 * shape: unused is ignored. */
int chase(int loads, int unused);

#ifdef __cplusplus
}

namespace latency {

/* chase_cycles measures the chase from start with the harness, `loads`
 * links per call, and returns the counter cycles of one load: the best
 * call's cycles over loads.  start must lie on a cycle of links. */
double chase_cycles(const void *start, int loads);

/* chase_onward times one call of the chase from *at, `loads` links, with
 * the counter and no warm-up call, and leaves *at at the line where it
 * stopped: the next call goes on round the cycle, over lines that the
 * caches have long since dropped where the cycle is much larger than they
 * are.  The cycle must lie within 4 GiB of base.  It returns the counter
 * cycles of one load. */
double chase_onward(const void *base, const void **at, int loads);

}  // namespace latency
#endif

#endif /* MEMSWEEP_RECORD_CHASE_H */
