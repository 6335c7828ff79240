// SPDX-License-Identifier: MIT
// A scripted stand-in for the measurement, linked with memsweep's own main in
// place of the harness and the clock: fcyc2 returns a cycle count made up
// from its arguments and mhz a fixed rate, so that a whole table prints in
// milliseconds with every figure known in advance.  A call with arguments
// that main should never pass is reported on standard error.
//
// With MEMSWEEP_FAKE_STOP_AFTER=N in the environment, the measurement after
// the N-th stops the process with SIGINT, as Ctrl-C would.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include <memsweep/clock.h>
#include <memsweep/harness.h>

#include "clock/tsc.h"
#include "sweep/sweep.h"

namespace {

// Cells whose printed figure depends on how it is computed, at 2500 MHz:
struct Cell {
    int elems, stride;
    double cycles;
} const special[] = {
    // 128 MiB at stride 3: (134217728 / 3) bytes in 44739242 cycles is
    // exactly 2.5, which rounds to even ("2"); dividing the size as a double,
    // or rounding halves up, prints 3.
    {16777216, 3, 44739242.0},
    // 128 MiB at stride 1: exactly 2.5 again, with an exact quotient.
    {16777216, 1, 134217728.0},
    // 128 MiB at stride 14: 32.50000000000001 in the documented order
    // (microseconds first), "33"; multiplying by the rate first gives
    // 32.499999999999993, "32".
    {16777216, 14, 737460.0},
};

}  // namespace

double fcyc2(timed_fn f, int param1, int param2, int reserved)
{
    if (f != test || reserved != 0)
        fprintf(stderr, "fcyc2 called with another function or reserved %d\n", reserved);
    static int calls = 0;
    const char *stop_after = getenv("MEMSWEEP_FAKE_STOP_AFTER");
    if (stop_after != nullptr && ++calls > atoi(stop_after)) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);
    }
    const Cell *end = special + sizeof special / sizeof special[0];
    const Cell *c = std::find_if(special, end, [=](const Cell &s) { return s.elems == param1 && s.stride == param2; });
    if (c != end)
        return c->cycles;
    // Elsewhere: a quarter cycle per element and a little more per stride,
    // which gives figures from about 1 to 67, none of them whole.
    return param1 * (0.25 + 0.05 * param2) + 1000.0;
}

double mhz(int verbose)
{
    if (verbose != 0)
        fprintf(stderr, "mhz called with verbose %d\n", verbose);
    return 2500.0;
}

// The harness's sample store, which run reads only where the counter states
// its rate: none here.
int samplecount = 0;
double *samples = nullptr;

// A cycle counter's, which states no rate: every cell is one call's count.
double counter_stated_mhz(void)
{
    return 0.0;
}
