// SPDX-License-Identifier: MIT
// A stand-in for the timing library's counter_mhz, linked into tests of
// memsweep-check's checks in place of the library: a counter that ticks at
// 2400 MHz, whatever machine the tests run on.
#include <memsweep/clock.h>

double counter_mhz(void)
{
    return 2400.0;
}
