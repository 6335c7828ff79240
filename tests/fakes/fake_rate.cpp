// SPDX-License-Identifier: MIT
// A stand-in for the timing library's counter_mhz, linked into tests of
// memsweep-check's checks in place of the library: a counter that ticks at
// 2400 MHz and states no rate of its own, whatever machine the tests run on.
#include <memsweep/clock.h>

#include "clock/tsc.h"

double counter_mhz(void)
{
    return 2400.0;
}

// The time-stamp counter's: no rate of its own.
double counter_stated_mhz(void)
{
    return 0.0;
}
