// SPDX-License-Identifier: MIT
#include "fakes/fake_clock.h"

#include <memsweep/clock.h>

#include "clock/tsc.h"

namespace fake_clock {

std::function<double(int)> reading;
int starts, reads, comp_starts, comp_reads;
double rate;
double stated;
int rate_calls, rate_verbose, rate_sleeptime;
std::string log;

void reset(double value)
{
    starts = reads = comp_starts = comp_reads = rate_calls = 0;
    rate = 2000.0;
    stated = 0.0;
    log.clear();
    reading = [value](int) { return value; };
}

static double next_reading()
{
    return reading(reads + comp_reads - 1);
}

}  // namespace fake_clock

using namespace fake_clock;

void start_counter(void)
{
    starts++;
    log += 's';
}

double get_counter(void)
{
    reads++;
    log += 'g';
    return next_reading();
}

void start_comp_counter(void)
{
    comp_starts++;
    log += 'S';
}

double get_comp_counter(void)
{
    comp_reads++;
    log += 'G';
    return next_reading();
}

double mhz_full(int verbose, int sleeptime)
{
    rate_calls++;
    rate_verbose = verbose;
    rate_sleeptime = sleeptime;
    log += 'M';
    return rate;
}

double counter_stated_mhz(void)
{
    return stated;
}
