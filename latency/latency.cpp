// SPDX-License-Identifier: MIT
/*
 * latency.cpp -- the latency's working sets, the chase's cycle, the cache
 * levels read from the checks' report, and the summary line.
 */
#include "latency/latency.h"

#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <utility>

#include "common/memory.h"
#include "common/stats.h"
#include "common/text.h"

namespace latency {

using memsweep::size_text;

/* ====================== The machine's caches ====================== */

std::vector<Cache> caches_of(const std::vector<checks::Check> &results)
{
    std::vector<Cache> caches;
    const auto *found = checks::figures_of<checks::Caches>(results);
    if (found == nullptr)
        return caches;
    std::transform(found->cpu0.begin(), found->cpu0.end(), std::back_inserter(caches), [](const checks::CacheLevel &c) {
        return Cache{memsweep::cache_name(c.level, c.type), c.size_bytes};
    });
    return caches;
}

double available_mib_of(const std::vector<checks::Check> &results)
{
    const auto *memory = checks::figures_of<checks::Memory>(results);
    return memory != nullptr && memory->available_mib ? *memory->available_mib : -1.0;
}

/* ====================== The working sets ====================== */

static const uint64_t MiB = uint64_t(1) << 20;

/* The steps of 1.5 times a power of two stop here: below it a point costs
 * a few hundredths of a second at most, above it each one is a second or
 * more of memory latency, where the session's time budget keeps the powers
 * of two alone. */
static const uint64_t fine_below = 4 * MiB;

std::vector<uint64_t> latency_sizes(const std::vector<Cache> &caches, double room)
{
    uint64_t cache = std::accumulate(caches.begin(), caches.end(), uint64_t(0),
                                     [](uint64_t most, const Cache &c) { return std::max(most, c.bytes); });
    uint64_t top = memsweep::largest_set_for(cache, room);

    std::vector<uint64_t> sizes;
    for (uint64_t p = memsweep::smallest_set; p <= top; p *= 2) {
        sizes.push_back(p);
        if (p * 3 / 2 < fine_below && p * 2 <= top)
            sizes.push_back(p * 3 / 2);
    }
    return sizes;
}

/* ====================== The cycle ====================== */

/* Sattolo's algorithm: every line first names itself, then each line from
 * the last down to the second swaps its link with that of a line drawn from
 * those before it.  The result is a single cycle through all the lines,
 * each of the (n - 1)! cycles as likely: the links are a permutation, and
 * no line is left pointing at itself. */
void build_cycle(void *buffer, size_t lines, Random &random)
{
    char *base = static_cast<char *>(buffer);
    auto link = [base](size_t i) { return reinterpret_cast<char **>(base + i * line_bytes); };
    for (size_t i = 0; i < lines; i++)
        *link(i) = base + i * line_bytes;
    for (size_t i = lines; i-- > 1;)
        std::swap(*link(i), *link(random.below(i)));
}

uint64_t cycle_seed(uint64_t seed, uint64_t bytes)
{
    /* The size is spread over the seed's bits by one step of the generator,
     * so that sizes next to each other start far apart. */
    Random mix(bytes);
    return seed ^ mix.next();
}

/* At 100,000 loads a call lasts 0.1 ms or more, so that the timed window's
 * own few dozen cycles are below a thousandth of it. */
static const size_t least_loads = 100000;

int chase_loads(size_t lines)
{
    return (int)std::max(2 * lines, least_loads);
}

/* ====================== The summary ====================== */


std::vector<LevelLatency> latency_levels(const std::vector<LatencyFigure> &figures, const std::vector<Cache> &caches)
{
    std::vector<LevelLatency> levels;
    if (figures.empty())
        return levels;
    const LatencyFigure &last = figures.back();
    if (caches.empty()) {
        if (figures.size() > 1)
            levels.push_back({size_text(figures.front().bytes), figures.front().ns, false, ""});
        levels.push_back({"memory", last.ns, false, ""});
        return levels;
    }
    uint64_t below = 0; /* the size of the level below */
    const Cache *biggest = &caches.front();
    for (const Cache &c : caches) {
        std::vector<double> inside;
        for (const LatencyFigure &f : figures)
            if (f.bytes > below && f.bytes <= c.bytes / 2)
                inside.push_back(f.ns);
        if (!inside.empty())
            levels.push_back({c.name, memsweep::median(inside), false, ""});
        below = std::max(below, c.bytes);
        if (c.bytes > biggest->bytes)
            biggest = &c;
    }
    if (last.bytes > below)
        levels.push_back({"memory", last.ns, false, ""});
    else
        levels.push_back({size_text(last.bytes), last.ns, true, biggest->name});
    return levels;
}

std::string latency_summary(const std::vector<LatencyFigure> &figures, const std::vector<Cache> &caches)
{
    std::string line;
    for (const LevelLatency &l : latency_levels(figures, caches)) {
        line += (line.empty() ? "" : ", ") + l.name + " " + ns_text(l.ns);
        if (l.memory_not_reached)
            line += " (memory not reached: it fits in " + l.fits_in + ")";
    }
    return line;
}

}  // namespace latency
