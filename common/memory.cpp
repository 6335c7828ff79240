// SPDX-License-Identifier: MIT
/*
 * memory.cpp -- the memory a session may take, and its working sets.
 */
#include "common/memory.h"

#include <algorithm>

namespace memsweep {

/* Four times the largest cache leaves it holding a quarter of the working
 * set at most, so that three loads in four or more go to memory. */
static const uint64_t beyond_cache = 4;

double memory_room(double available_mib)
{
    if (available_mib < 0.0)
        return -1.0;
    double free_bytes = available_mib * 1024.0 * 1024.0;
    return std::max(0.0, std::min(free_bytes / 2.0, free_bytes - (double)array_bytes));
}

uint64_t largest_set_for(uint64_t cache_bytes, double room)
{
    uint64_t reach = cache_bytes >= largest_set / beyond_cache ? largest_set : cache_bytes * beyond_cache;
    uint64_t top = array_bytes;
    while (top * 2 <= reach)
        top *= 2;
    if (room < 0.0)
        return std::min(top, array_bytes);
    while (top > smallest_set && (double)top > room)
        top /= 2;
    return top;
}

}  // namespace memsweep
