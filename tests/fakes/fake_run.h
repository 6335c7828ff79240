// SPDX-License-Identifier: MIT
// A scripted stand-in for the sweep's array and grid point (data, init_data,
// run and run_in_row_steps), linked into memsweep-record's session in place
// of sweep.cpp and kernel.cpp: a cell's figure is made up from its size and stride, and every
// call is logged, so that a whole session runs in milliseconds with every
// figure known in advance.
//
// With MEMSWEEP_FAKE_STOP_AFTER=N in the environment, the measurement after
// the N-th stops the process with SIGINT, as Ctrl-C would, or with the
// signal numbered MEMSWEEP_FAKE_STOP_SIGNAL.
#ifndef MEMSWEEP_TESTS_FAKE_RUN_H
#define MEMSWEEP_TESTS_FAKE_RUN_H

#include <functional>
#include <utility>
#include <vector>

namespace fake_run {

// figure(size, stride, n) is the n-th call's (from 0) MB/s.
extern std::function<double(int, int, int)> figure;

// calls logs every call's size and stride; mhz is the latest clock rate.
extern std::vector<std::pair<int, int>> calls;
extern double mhz;

// What run_in_row_steps returns: 0, none timed in a row, as on x86-64.
extern double in_row_steps;

// reset clears the log and scripts a figure of 1000 * (30 - label - stride)
// MB/s, the same in every pass.
void reset();

}  // namespace fake_run

#endif
