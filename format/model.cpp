// SPDX-License-Identifier: MIT
/*
 * model.cpp -- what the model computes of itself: a point's median and
 * range, the drift watch's median, the plane's instruction sets.
 */
#include "format/model.h"

#include <algorithm>
#include <numeric>
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

uint64_t largest_cache(const Record &r)
{
    return std::accumulate(r.caches.begin(), r.caches.end(), uint64_t(0),
                           [](uint64_t largest, const CacheSize &c) { return std::max(largest, c.bytes); });
}

std::vector<PlaneMemory> plane_memory(const Record &r)
{
    const uint64_t cache = largest_cache(r);
    std::vector<PlaneMemory> out;
    std::vector<std::pair<std::string, int>> order;
    for (const BandwidthPoint &p : r.bandwidth)
        if (std::find(order.begin(), order.end(), std::make_pair(p.kernel, p.threads)) == order.end())
            order.emplace_back(p.kernel, p.threads);
    for (const auto &[kernel, threads] : order) {
        uint64_t largest = 0;
        std::vector<double> beyond;
        std::string isa;
        for (const BandwidthPoint &p : r.bandwidth) {
            if (p.kernel != kernel || p.threads != threads || p.gbs.passes.empty())
                continue;
            isa = p.isa;
            largest = std::max(largest, p.bytes);
            if (cache > 0 && p.bytes * (uint64_t)p.threads > cache)
                beyond.push_back(p.gbs.median);
        }
        std::vector<double> figures = beyond;
        if (figures.empty())
            for (const BandwidthPoint &p : r.bandwidth)
                if (p.kernel == kernel && p.threads == threads && p.bytes == largest && !p.gbs.passes.empty())
                    figures.push_back(p.gbs.median);
        if (!figures.empty())
            out.push_back({kernel, isa, threads, memsweep::spread_of(figures).median, !beyond.empty()});
    }
    return out;
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
    const uint64_t cache = largest_cache(r);
    uint64_t largest_set = 0;
    bool beyond = false;
    for (const BandwidthPoint &p : r.bandwidth) {
        if (!is_read(p) || p.threads != most)
            continue;
        largest_set = std::max(largest_set, p.bytes);
        beyond = beyond || (cache > 0 && p.bytes * (uint64_t)p.threads > cache);
    }
    for (const BandwidthPoint &p : r.bandwidth) {
        if (!is_read(p) || p.threads != most)
            continue;
        bool counts = beyond ? p.bytes * (uint64_t)p.threads > cache : p.bytes == largest_set;
        if (counts && (best.kernel.empty() || p.gbs.median > best.gbs))
            best = {p.kernel, p.isa, p.threads, p.bytes, p.gbs.median, beyond};
    }
    return best;
}

}  // namespace format
