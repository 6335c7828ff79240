// A scripted time-stamp counter and tick count, linked into tests of the
// clock unit in place of clock/tsc.cpp.  It defines access_counter, and it
// stands in for the C library's times() and sleep() in the test executable,
// so that calibration and the timed-sleep estimate run on scripted numbers.
#ifndef MEMSWEEP_TESTS_FAKE_COUNTER_H
#define MEMSWEEP_TESTS_FAKE_COUNTER_H

#include <stdint.h>

#include <functional>
#include <vector>

namespace fake_counter {

// tsc(n) is the counter's value at the n-th call (from 0) of access_counter.
extern std::function<uint64_t(int)> tsc;
// ticks(n) is the user-CPU tick count at the n-th call of times().
extern std::function<uint64_t(int)> ticks;

extern int tsc_reads;           // access_counter calls so far
extern int tick_reads;          // times() calls so far
extern std::vector<unsigned> slept;  // the argument of every sleep() call

// reset clears the counts and scripts a counter that advances by tsc_step
// per reading and a tick count that advances by one per call.
void reset(uint64_t tsc_step = 1000);

}  // namespace fake_counter

#endif
