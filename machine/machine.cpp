// SPDX-License-Identifier: MIT
/*
 * machine.cpp -- the controls a session puts on the machine: which pages
 * the measured memory gets, the latency's buffer, and which CPU the
 * session runs on.  The only Linux calls of memsweep-record's session live
 * here.
 */
#include "machine/machine.h"

#include "clock/clock.h"
#include "common/files.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <sstream>

namespace machine {

/* ====================== Pages ====================== */

const char *pages_name(Pages pages)
{
    return pages == Pages::small ? "small" : pages == Pages::huge ? "huge" : "system";
}

/* madvise takes whole pages: advise_whole gives its advice to the pages
 * that lie inside the range. */
static bool advise_whole(void *addr, size_t len, int advice)
{
    size_t page = page_bytes();
    size_t head = (page - (uintptr_t)addr % page) % page;
    size_t whole = len > head ? (len - head) / page * page : 0;
    return whole == 0 || madvise(static_cast<char *>(addr) + head, whole, advice) == 0;
}

bool advise_pages(void *addr, size_t len, Pages pages)
{
    if (pages == Pages::system)
        return true;
    return advise_whole(addr, len, pages == Pages::huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
}

size_t page_bytes()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? (size_t)page : 4096;
}

size_t huge_page_bytes()
{
    static const size_t bytes = [] {
        std::string size;
        std::optional<std::string> text;
        if (memsweep::read_value("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", &size))
            text = size;
        return (size_t)checks::transparent_huge_bytes(text, page_bytes());
    }();
    return bytes;
}

/* The mapping is made one huge page larger than asked, and the parts
 * before the first aligned address and after the buffer's end are given
 * back at once. */
void *map_buffer(size_t bytes)
{
    const size_t huge_page = huge_page_bytes();
    if (bytes == 0 || bytes > SIZE_MAX - huge_page) {
        errno = EINVAL;
        return nullptr;
    }
    size_t span = bytes + huge_page;
    void *mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    char *from = static_cast<char *>(mapped);
    size_t head = (huge_page - (uintptr_t)from % huge_page) % huge_page;
    char *start = from + head;
    if (head > 0)
        munmap(from, head);
    size_t tail = span - head - bytes;
    if (tail > 0)
        munmap(start + bytes, tail);
    return start;
}

void unmap_buffer(void *buffer, size_t bytes)
{
    if (buffer != nullptr)
        munmap(buffer, bytes);
}

void touch_pages(void *addr, size_t len)
{
    size_t page = page_bytes();
    volatile char *bytes = static_cast<char *>(addr);
    for (size_t at = 0; at < len; at += page)
        bytes[at] = 0;
}

bool give_back_pages(void *addr, size_t len)
{
    return advise_whole(addr, len, MADV_DONTNEED);
}

/* ====================== The counter ====================== */

/* Where the counter advances one cycle at a time, the differences between
 * readings have no common divisor but 1; where it advances in steps, all
 * of them are multiples of the step.  So the step is their greatest common
 * divisor.  Back-to-back readings on a steady core could all differ by the
 * readings' own cost, which would pass for a step: a spin of varying length
 * between them makes the differences vary. */
double counter_step()
{
    const int readings = 10000;
    uint64_t step = 0;
    unsigned hi;
    unsigned lo;
    access_counter(&hi, &lo);
    uint64_t previous = (uint64_t)hi << 32 | lo;
    for (int i = 0; i < readings && step != 1; i++) {
        for (volatile int spin = 0; spin < i % 17; spin = spin + 1) {
        }
        access_counter(&hi, &lo);
        uint64_t now = (uint64_t)hi << 32 | lo;
        if (now > previous)
            step = std::gcd(step, now - previous);
        previous = now;
    }
    return step == 0 ? 1.0 : (double)step;
}

/* ====================== CPUs ====================== */

/* The kernel's CPU mask may be larger than the C library's default set
 * (1024 CPUs): the set grows until the kernel's mask fits. */
std::vector<int> allowed_cpus()
{
    std::vector<int> cpus;
    for (int count = CPU_SETSIZE; count <= (1 << 20); count *= 2) {
        cpu_set_t *set = CPU_ALLOC(count);
        if (set == nullptr)
            return cpus;
        size_t size = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            for (int cpu = 0; cpu < count; cpu++)
                if (CPU_ISSET_S(cpu, size, set))
                    cpus.push_back(cpu);
            CPU_FREE(set);
            return cpus;
        }
        CPU_FREE(set);
        if (errno != EINVAL)
            return cpus;
    }
    return cpus;
}

int least_busy(const std::vector<int> &allowed, const std::map<long, double> &busy)
{
    int best = allowed.empty() ? -1 : allowed.front();
    double lowest = 2.0; /* above any share */
    for (int cpu : allowed) {
        auto it = busy.find(cpu);
        double share = it == busy.end() ? 1.0 : it->second;
        if (share < lowest) {
            lowest = share;
            best = cpu;
        }
    }
    return best;
}

bool pin(int cpu)
{
    if (cpu < 0) {
        errno = EINVAL;
        return false;
    }
    cpu_set_t *set = CPU_ALLOC(cpu + 1);
    if (set == nullptr)
        return false;
    size_t size = CPU_ALLOC_SIZE(cpu + 1);
    CPU_ZERO_S(size, set);
    CPU_SET_S(cpu, size, set);
    bool ok = sched_setaffinity(0, size, set) == 0;
    int saved = errno;
    CPU_FREE(set);
    errno = saved;
    return ok;
}

}  // namespace machine
