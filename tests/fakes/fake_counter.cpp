#include "fakes/fake_counter.h"

#include <sys/times.h>
#include <unistd.h>

#include "clock/clock.h"

namespace fake_counter {

std::function<uint64_t(int)> tsc;
std::function<uint64_t(int)> ticks;
int tsc_reads, tick_reads;
std::vector<unsigned> slept;

void reset(uint64_t tsc_step)
{
    tsc_reads = tick_reads = 0;
    slept.clear();
    tsc = [tsc_step](int n) { return tsc_step * (uint64_t)n; };
    ticks = [](int n) { return (uint64_t)n; };
}

}  // namespace fake_counter

using namespace fake_counter;

void access_counter(unsigned *hi, unsigned *lo)
{
    uint64_t t = tsc(tsc_reads++);
    *hi = (unsigned)(t >> 32);
    *lo = (unsigned)t;
}

// These two replace the C library's functions for every caller in this
// executable; nothing else in a test process calls them.
extern "C" clock_t times(struct tms *buf) noexcept
{
    buf->tms_utime = (clock_t)ticks(tick_reads++);
    buf->tms_stime = buf->tms_cutime = buf->tms_cstime = 0;
    return 0;
}

extern "C" unsigned sleep(unsigned seconds)
{
    slept.push_back(seconds);
    return 0;
}
