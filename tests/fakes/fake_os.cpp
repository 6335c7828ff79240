// SPDX-License-Identifier: MIT
#include "fakes/fake_os.h"

#include <errno.h>
#include <sys/syscall.h>
#include <sys/times.h>
#include <unistd.h>

namespace fake_os {

std::function<uint64_t(int)> ticks;
std::function<struct timeval(int)> now;
std::function<int64_t(int)> raw_ns;
int tick_reads, clock_reads, raw_reads;
std::vector<unsigned> slept;
std::vector<int64_t> naps;

void reset()
{
    tick_reads = clock_reads = raw_reads = 0;
    slept.clear();
    naps.clear();
    ticks = [](int n) { return (uint64_t)n; };
    now = [](int n) { return timeval{1000 + n / 1000000, n % 1000000}; };
    raw_ns = [](int n) { return 1000000000000 + 1000 * (int64_t)n; };
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

extern "C" int clock_gettime(clockid_t clock, struct timespec *tp) noexcept
{
    if (clock != CLOCK_MONOTONIC_RAW)
        return (int)syscall(SYS_clock_gettime, clock, tp);
    int64_t ns = raw_ns(raw_reads++);
    if (ns < 0) {
        errno = EINVAL;
        return -1;
    }
    tp->tv_sec = ns / 1000000000;
    tp->tv_nsec = ns % 1000000000;
    return 0;
}

extern "C" int nanosleep(const struct timespec *req, struct timespec *)
{
    naps.push_back((int64_t)req->tv_sec * 1000000000 + req->tv_nsec);
    return 0;
}
