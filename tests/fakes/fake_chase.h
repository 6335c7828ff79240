// SPDX-License-Identifier: MIT
// A scripted stand-in for memsweep-record's chase measurement
// (latency::chase_cycles), linked in place of latency/chase.cpp and
// latency/chase_run.cpp.  It follows the links from the start it is given
// and counts the lines of the cycle, so that a session's tests see which
// cycle each measurement found; its figure is made up from that count.
// Every call is logged here, and in fake_run::calls as (bytes, stride 0),
// so that one log holds the session's order of cells and chases alike.
// latency::chase_onward is stood in for too: it follows the links it is
// asked for, logs the call here only, with lines 0, and returns memory's
// figure.
#ifndef MEMSWEEP_TESTS_FAKE_CHASE_H
#define MEMSWEEP_TESTS_FAKE_CHASE_H

#include <stddef.h>

#include <vector>

namespace fake_chase {

struct Call {
    size_t lines;  // the cycle's length from the start, in lines; 0 if it never came back
    int loads;     // the loads asked for
};
extern std::vector<Call> calls;

// Cycles longer than this are counted only by the loads asked for (lines =
// loads / 2): following them would cost a real chase's time.
extern size_t walk_limit;

// cycles_per_load(lines) is the figure returned: 4 counter cycles up to
// 512 lines (32 KiB), 100 beyond.
double cycles_per_load(size_t lines);

// reset clears the log.
void reset();

}  // namespace fake_chase

#endif
