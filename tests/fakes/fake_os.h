// SPDX-License-Identifier: MIT
// Scripted stand-ins for the C library's times(), sleep(), gettimeofday(),
// clock_gettime() and nanosleep(), linked into test executables in place of
// the real ones, so that tick calibration, the timed-sleep estimate, the
// time-of-day timer and the counter's rate run on scripted numbers.  Nothing
// else in a test process calls the first three or nanosleep; GoogleTest's own
// timing calls clock_gettime for other clocks, and those calls go to the
// kernel as they are.
#ifndef MEMSWEEP_TESTS_FAKE_OS_H
#define MEMSWEEP_TESTS_FAKE_OS_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <functional>
#include <vector>

namespace fake_os {

// ticks(n) is the user-CPU tick count at the n-th call (from 0) of times().
extern std::function<uint64_t(int)> ticks;
// now(n) is the time of day at the n-th call of gettimeofday().
extern std::function<struct timeval(int)> now;

// raw_ns(n) is CLOCK_MONOTONIC_RAW at the n-th call of clock_gettime() for
// that clock, in nanoseconds; a negative value makes that call fail.
extern std::function<int64_t(int)> raw_ns;

extern int tick_reads;               // times() calls so far
extern int clock_reads;              // gettimeofday() calls so far
extern int raw_reads;                // clock_gettime(CLOCK_MONOTONIC_RAW) calls so far
extern std::vector<unsigned> slept;  // the argument of every sleep() call
extern std::vector<int64_t> naps;    // every nanosleep() request, in nanoseconds; none sleeps

// reset clears the counts, scripts a tick count that advances by one per
// call, a time of day that advances by one microsecond per call, and a raw
// clock that advances by one microsecond per call.
void reset();

}  // namespace fake_os

#endif
