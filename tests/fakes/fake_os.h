// Scripted stand-ins for the C library's times(), sleep() and gettimeofday(),
// linked into test executables in place of the real ones, so that tick
// calibration, the timed-sleep estimate and the time-of-day timer run on
// scripted numbers.  Nothing else in a test process calls these three.
#ifndef MEMSWEEP_TESTS_FAKE_OS_H
#define MEMSWEEP_TESTS_FAKE_OS_H

#include <stdint.h>
#include <sys/time.h>

#include <functional>
#include <vector>

namespace fake_os {

// ticks(n) is the user-CPU tick count at the n-th call (from 0) of times().
extern std::function<uint64_t(int)> ticks;
// now(n) is the time of day at the n-th call of gettimeofday().
extern std::function<struct timeval(int)> now;

extern int tick_reads;               // times() calls so far
extern int clock_reads;              // gettimeofday() calls so far
extern std::vector<unsigned> slept;  // the argument of every sleep() call

// reset clears the counts, scripts a tick count that advances by one per
// call and a time of day that advances by one microsecond per call.
void reset();

}  // namespace fake_os

#endif
