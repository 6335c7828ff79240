// SPDX-License-Identifier: MIT
// A scripted time-stamp counter, linked into tests of the clock unit in place
// of clock/tsc.cpp: it defines access_counter and counter_stated_mhz.
#ifndef MEMSWEEP_TESTS_FAKE_COUNTER_H
#define MEMSWEEP_TESTS_FAKE_COUNTER_H

#include <stdint.h>

#include <functional>

namespace fake_counter {

// tsc(n) is the counter's value at the n-th call (from 0) of access_counter.
extern std::function<uint64_t(int)> tsc;
extern int tsc_reads;  // access_counter calls so far
extern double stated_mhz;  // what counter_stated_mhz returns: 0, none, as x86-64's

// reset clears the count and scripts a counter that advances by tsc_step per
// reading and states no rate.
void reset(uint64_t tsc_step = 1000);

}  // namespace fake_counter

#endif
