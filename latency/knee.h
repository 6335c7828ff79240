// SPDX-License-Identifier: MIT
/*
 * knee.h -- the loaded latency's points and its knee, apart from their
 * measurement (loaded.h), so that memsweep-compare finds a record's knees
 * as memsweep-record finds its own, without the loads.
 */
#ifndef MEMSWEEP_LATENCY_KNEE_H
#define MEMSWEEP_LATENCY_KNEE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "format/model.h"

namespace latency
{

/* The delay of the idle point: no load at all. */
const uint64_t idle_delay = format::idle_delay;

/* Which point of the loaded latency: the kernel the other CPUs run ("" for
 * the idle point, which has no load) and the delay between their blocks,
 * in counter cycles (idle_delay for the idle point). */
struct LoadedPlanPoint {
    std::string kernel;
    uint64_t delay = 0;
};

/* One point: its delay, the loaders' GB/s (0 for the idle point) and the
 * chase's ns per load, with the passes' least and most where they are
 * known (0 where not); error says why there is none, or "". */
struct LoadedPoint {
    uint64_t delay = idle_delay;
    double load_gbs = 0.0;
    double ns = 0.0;
    double ns_min = 0.0, ns_max = 0.0;
    std::string error;
};

/* Where the latency reaches twice the idle figure, by load. */
struct Knee {
    bool found = false;
    double gbs = 0.0; /* the knee's load; without one, the highest load measured */
    /* Found, and clear of the passes' spread: every pass of the point past
     * the knee reaches twice the idle median, and no pass of the point
     * before it does.  A noisy curve's crossing is found but not clear. */
    bool clear = false;
};

/* knee_of walks one curve's points (the idle point among them) from the
 * idle point through the delays, longest first, and returns the load where
 * the ns first reach twice the idle point's, interpolated between the two
 * points around it; without an idle point, or a point that reaches it, no
 * knee.  Points without a spread (ns_min and ns_max 0) count as their
 * medians. */
Knee knee_of(const std::vector<LoadedPoint> &points);

/* curve_of returns one kernel's curve of a record's loaded latency as
 * points of their medians, minima and maxima, the idle point's with them. */
std::vector<LoadedPoint> curve_of(const std::vector<format::LoadedLatencyPoint> &loaded, const std::string &kernel);

}  // namespace latency

#endif /* MEMSWEEP_LATENCY_KNEE_H */
