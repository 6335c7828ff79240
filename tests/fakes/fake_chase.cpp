// SPDX-License-Identifier: MIT
// The stand-in for memsweep-record's chase measurement: see fake_chase.h.
#include "fakes/fake_chase.h"

#include <stdint.h>

#include "fakes/fake_run.h"
#include "latency/chase.h"

namespace fake_chase {

std::vector<Call> calls;
size_t walk_limit = size_t(1) << 16;

double cycles_per_load(size_t lines)
{
    return lines <= 512 ? 4.0 : 100.0;
}

void reset()
{
    calls.clear();
}

}  // namespace fake_chase

using namespace fake_chase;

double latency::chase_cycles(const void *start, int loads)
{
    /* A cycle through n lines comes back after n links: at most loads / 2,
     * as a call chases two trips round it or more. */
    size_t lines = 0;
    if ((size_t)loads / 2 > walk_limit) {
        lines = (size_t)loads / 2;
    } else {
        const void *p = start;
        do {
            p = *static_cast<const void *const *>(p);
            lines++;
        } while (p != start && lines <= (size_t)loads);
        if (p != start)
            lines = 0;
    }
    calls.push_back({lines, loads});
    fake_run::calls.emplace_back((int)(lines * 64), 0);
    return cycles_per_load(lines);
}

double latency::chase_onward(const void *base, const void **at, int loads)
{
    (void)base;
    /* Onward along the links, where that is cheap; the figure is memory's. */
    if ((size_t)loads <= walk_limit)
        for (int i = 0; i < loads; i++)
            *at = *static_cast<const void *const *>(*at);
    calls.push_back({0, loads});
    return cycles_per_load(SIZE_MAX);
}
