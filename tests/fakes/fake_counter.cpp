// SPDX-License-Identifier: MIT
#include "fakes/fake_counter.h"

#include <memsweep/clock.h>

#include "clock/tsc.h"

namespace fake_counter {

std::function<uint64_t(int)> tsc;
int tsc_reads;
double stated_mhz = 0.0;

void reset(uint64_t tsc_step)
{
    tsc_reads = 0;
    stated_mhz = 0.0;
    tsc = [tsc_step](int n) { return tsc_step * (uint64_t)n; };
}

}  // namespace fake_counter

void access_counter(unsigned *hi, unsigned *lo)
{
    uint64_t t = fake_counter::tsc(fake_counter::tsc_reads++);
    *hi = (unsigned)(t >> 32);
    *lo = (unsigned)t;
}

double counter_stated_mhz(void)
{
    return fake_counter::stated_mhz;
}
