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

}  // namespace format
