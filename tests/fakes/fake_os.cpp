#include "fakes/fake_os.h"

#include <sys/times.h>
#include <unistd.h>

namespace fake_os {

std::function<uint64_t(int)> ticks;
std::function<struct timeval(int)> now;
int tick_reads, clock_reads;
std::vector<unsigned> slept;

void reset()
{
    tick_reads = clock_reads = 0;
    slept.clear();
    ticks = [](int n) { return (uint64_t)n; };
    now = [](int n) { return timeval{1000 + n / 1000000, n % 1000000}; };
}

}  // namespace fake_os

using namespace fake_os;

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

extern "C" int gettimeofday(struct timeval *tv, void *) noexcept
{
    *tv = now(clock_reads++);
    return 0;
}
