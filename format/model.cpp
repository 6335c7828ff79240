// SPDX-License-Identifier: MIT
/*
 * model.cpp -- what the model computes of itself: a point's median and
 * range, the drift watch's median, the plane's instruction sets.
 */
#include "format/model.h"

#include <algorithm>
#include <set>
#include <utility>

#include "common/stats.h"

namespace format
{

Figures figures_of(std::vector<double> passes)
{
    memsweep::Spread s = memsweep::spread_of(passes);
    Figures f;
    f.passes = std::move(passes);
    f.median = s.median;
    f.min = s.min;
    f.max = s.max;
    return f;
}

double drift_median(const Record &r)
{
    std::vector<double> gbs(r.drift.size());
    std::transform(r.drift.begin(), r.drift.end(), gbs.begin(), [](const DriftReading &d) { return d.gbs; });
    return figures_of(gbs).median;
}

std::string bandwidth_isa(const Record &r)
{
    std::set<std::string> isas;
    for (const BandwidthPoint &p : r.bandwidth)
        isas.insert(p.isa);
    std::string joined;
    for (const std::string &isa : isas)
        joined += (joined.empty() ? "" : ",") + isa;
    return joined;
}

MemoryRead memory_read(const Record &r)
{
    MemoryRead best;
    int most = 0;
    auto is_read = [](const BandwidthPoint &p) {
        return (p.kernel == "vector-read" || p.kernel == "scalar-read") && !p.gbs.passes.empty();
    };
    for (const BandwidthPoint &p : r.bandwidth)
        if (is_read(p))
            most = std::max(most, p.threads);
    uint64_t largest_cache = 0;
    for (const CacheSize &c : r.caches)
        largest_cache = std::max(largest_cache, c.bytes);
    uint64_t largest_set = 0;
    bool beyond = false;
    for (const BandwidthPoint &p : r.bandwidth) {
        if (!is_read(p) || p.threads != most)
            continue;
        largest_set = std::max(largest_set, p.bytes);
        beyond = beyond || (largest_cache > 0 && p.bytes * (uint64_t)p.threads > largest_cache);
    }
    for (const BandwidthPoint &p : r.bandwidth) {
        if (!is_read(p) || p.threads != most)
            continue;
        bool counts = beyond ? p.bytes * (uint64_t)p.threads > largest_cache : p.bytes == largest_set;
        if (counts && (best.kernel.empty() || p.gbs.median > best.gbs))
            best = {p.kernel, p.isa, p.threads, p.bytes, p.gbs.median, beyond};
    }
    return best;
}

}  // namespace format
