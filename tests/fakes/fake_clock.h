// SPDX-License-Identifier: MIT
// A scripted stand-in for the cycle counter, linked into tests of the harness
// and the sweep in place of clock/clock.cpp and clock/tsc.cpp.  It defines the
// counter functions under their C names; each reading returns the next
// scripted count, and every start and reading is counted and logged.
#ifndef MEMSWEEP_TESTS_FAKE_CLOCK_H
#define MEMSWEEP_TESTS_FAKE_CLOCK_H

#include <functional>
#include <string>

namespace fake_clock {

// reading(n) is the count returned by the n-th reading (from 0) of either
// get_counter or get_comp_counter.
extern std::function<double(int)> reading;

extern int starts;       // start_counter calls
extern int reads;        // get_counter calls
extern int comp_starts;  // start_comp_counter calls
extern int comp_reads;   // get_comp_counter calls

// counter_stated_mhz returns stated: 0, none, as x86-64's counter.
extern double stated;

// mhz_full returns rate, counts its calls and keeps its latest arguments.
extern double rate;
extern int rate_calls;
extern int rate_verbose, rate_sleeptime;

// The order of events: 's' start_counter, 'g' get_counter, 'S'
// start_comp_counter, 'G' get_comp_counter, 'M' mhz_full; tests append
// their own.
extern std::string log;

// reset clears the counts and the log, scripts every reading as value and
// sets the rate to 2000 MHz and the stated rate to none.
void reset(double value = 100.0);

}  // namespace fake_clock

#endif
