// SPDX-License-Identifier: MIT
/*
 * knee.cpp -- the loaded latency's knee, apart from its measurement, so
 * that memsweep-compare finds a record's knees as memsweep-record does
 * without linking the loads.
 */
#include "latency/knee.h"

#include <algorithm>

namespace latency
{

Knee knee_of(const std::vector<LoadedPoint> &points)
{
    Knee knee;
    std::vector<LoadedPoint> walk(points);
    std::sort(walk.begin(), walk.end(),
              [](const LoadedPoint &a, const LoadedPoint &b) { return a.delay > b.delay; });
    for (const LoadedPoint &p : walk)
        knee.gbs = std::max(knee.gbs, p.load_gbs);
    if (walk.empty() || walk.front().delay != idle_delay || !(walk.front().ns > 0.0))
        return knee;
    const double twice = 2.0 * walk.front().ns;
    for (size_t i = 1; i < walk.size(); i++) {
        const LoadedPoint &a = walk[i - 1];
        const LoadedPoint &b = walk[i];
        if (b.ns >= twice) {
            double t = b.ns > a.ns ? (twice - a.ns) / (b.ns - a.ns) : 1.0;
            double least_after = b.ns_min > 0.0 ? b.ns_min : b.ns;
            double most_before = a.ns_max > 0.0 ? a.ns_max : a.ns;
            knee.found = true;
            knee.clear = least_after >= twice && most_before < twice;
            knee.gbs = a.load_gbs + std::clamp(t, 0.0, 1.0) * (b.load_gbs - a.load_gbs);
            return knee;
        }
    }
    return knee;
}

std::vector<LoadedPoint> curve_of(const std::vector<format::LoadedLatencyPoint> &loaded, const std::string &kernel)
{
    std::vector<LoadedPoint> curve;
    for (const format::LoadedLatencyPoint &p : loaded)
        if (p.delay == idle_delay || p.kernel == kernel) {
            LoadedPoint point;
            point.delay = p.delay;
            point.load_gbs = p.load_gbs;
            point.ns = p.ns.median;
            point.ns_min = p.ns.min;
            point.ns_max = p.ns.max;
            curve.push_back(point);
        }
    return curve;
}

}  // namespace latency
