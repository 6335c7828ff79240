// SPDX-License-Identifier: MIT
/*
 * passes.cpp -- the passes themselves, with their drift watch.
 */
#include "record/passes.h"

#include <chrono>

#include "latency/chase.h"
#include "latency/latency.h"
#include "common/random.h"
#include "sweep/sweep.h"

namespace record {

using latency::build_cycle;
using latency::chase_cycles;
using latency::chase_loads;
using latency::cycle_seed;
using latency::line_bytes;
using memsweep::Random;
using memsweep::shuffled;

/* The drift watch's cell: the smallest working set at stride 1, read from
 * the first-level cache, so its figure follows the core's own speed rather
 * than the memory's. */
static const int watch_bytes = 1 << 14;
static const int watch_stride = 1;

/* gbs measures one cell as memsweep does, in GB/s of real time. */
static double gbs(int bytes, int stride, double mhz)
{
    return run(bytes, stride, mhz) / 1000.0;
}

/* latency_ns builds the cycle of a working set in the buffer and measures
 * the chase round it, in ns per load of real time. */
static double latency_ns(void *buffer, uint64_t bytes, uint64_t seed, double mhz)
{
    size_t lines = bytes / line_bytes;
    Random random(cycle_seed(seed, bytes));
    build_cycle(buffer, lines, random);
    return chase_cycles(buffer, chase_loads(lines)) / mhz * 1000.0;
}

Passes measure(const Plan &plan)
{
    using clock = std::chrono::steady_clock;
    const std::vector<Cell> cells = grid();
    const std::vector<uint64_t> latency =
        plan.latency_buffer != nullptr ? plan.latency_bytes : std::vector<uint64_t>();
    const std::vector<PlanePoint> plane = plan.measure_plane ? plan.plane : std::vector<PlanePoint>();
    const std::vector<LoadedPlanPoint> loaded =
        plan.measure_loaded ? plan.loaded : std::vector<LoadedPlanPoint>();
    /* One order per pass over the cells, the latency sizes and the plane's
     * points together: each kind falls among the others, over the whole
     * pass, so that none is measured always early, always late, or always
     * right after another's largest working sets.  Without latency and
     * plane a pass's order is drawn over the cells alone. */
    const size_t first_latency = cells.size();
    const size_t first_plane = first_latency + latency.size();
    const size_t first_loaded = first_plane + plane.size();
    const int points = (int)(first_loaded + loaded.size());
    int total = plan.passes * points;
    Passes result;
    result.gbs.assign(cells.size(), std::vector<double>());
    result.latency_bytes = latency;
    result.latency_ns.assign(latency.size(), std::vector<double>());
    result.plane = plane;
    result.plane_gbs.assign(plane.size(), std::vector<double>());
    result.loaded = loaded;
    result.loaded_gbs.assign(loaded.size(), std::vector<double>());
    result.loaded_ns.assign(loaded.size(), std::vector<double>());

    clock::time_point start = clock::now();
    auto since_start = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
    auto watch = [&] {
        double figure = gbs(watch_bytes, watch_stride, plan.mhz);
        result.drift.push_back({since_start(), figure});
    };

    watch();
    Random random(plan.seed);
    int done = 0;
    int plane_done = 0;
    int loaded_done = 0;
    for (int pass = 0; pass < plan.passes; pass++) {
        if (pass > 0 && plan.renew_pages)
            plan.renew_pages();
        long long throttled_before = plan.throttled ? plan.throttled() : -1;
        for (int i : shuffled(points, random)) {
            double began = since_start();
            if ((size_t)i < first_latency) {
                result.gbs[i].push_back(gbs(cells[i].bytes(), cells[i].stride, plan.mhz));
            } else if ((size_t)i < first_plane) {
                size_t j = (size_t)i - first_latency;
                result.latency_ns[j].push_back(latency_ns(plan.latency_buffer, latency[j], plan.seed, plan.mhz));
                result.latency_seconds += since_start() - began;
            } else if ((size_t)i >= first_loaded) {
                if (!result.loaded_error.empty())
                    continue; /* a point of the curve that ended */
                size_t k = (size_t)i - first_loaded;
                double load = 0.0;
                double ns = 0.0;
                std::string error;
                plan.measure_loaded(k, &load, &ns, &error);
                result.loaded_seconds += since_start() - began;
                loaded_done++;
                if (error.empty()) {
                    result.loaded_gbs[k].push_back(load);
                    result.loaded_ns[k].push_back(ns);
                } else {
                    result.loaded_error = error;
                    result.loaded.clear();
                    result.loaded_gbs.clear();
                    result.loaded_ns.clear();
                    total -= plan.passes * (int)loaded.size() - loaded_done;
                }
            } else if (result.plane_error.empty()) {
                size_t k = (size_t)i - first_plane;
                std::string error;
                double figure = plan.measure_plane(k, &error);
                result.plane_seconds += since_start() - began;
                plane_done++;
                if (error.empty()) {
                    result.plane_gbs[k].push_back(figure);
                } else {
                    /* The plane ends here: its figures go, and its points
                     * leave this pass and the later ones. */
                    result.plane_error = error;
                    result.plane.clear();
                    result.plane_gbs.clear();
                    total -= plan.passes * (int)plane.size() - plane_done;
                }
            } else {
                continue;  /* a point of the plane that ended */
            }
            done++;
            if (since_start() - result.drift.back().seconds >= plan.watch_every_s)
                watch();
            if (plan.progress)
                plan.progress(done, total, since_start());
        }
        long long throttled_after = plan.throttled ? plan.throttled() : -1;
        if (throttled_before >= 0 && throttled_after > throttled_before) {
            result.throttled_passes.push_back(pass + 1);
            result.throttled_periods += throttled_after - throttled_before;
        }
    }
    watch();
    result.seconds = since_start();
    return result;
}

}  // namespace record
