// SPDX-License-Identifier: MIT
/*
 * passes.cpp -- the passes themselves, with their drift watch.
 */
#include "record/passes.h"

#include <chrono>

#include "record/chase.h"
#include "record/latency.h"
#include "record/random.h"
#include "sweep/sweep.h"

namespace record {

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
    /* One order per pass over the cells and the latency sizes together:
     * the latency's points fall among the cells, over the whole pass, so
     * that neither kind is measured always early, always late, or always
     * right after the other's largest working sets.  Without latency a
     * pass's order is drawn over the cells alone. */
    const int points = (int)(cells.size() + latency.size());
    const int total = plan.passes * points;
    Passes result;
    result.gbs.assign(cells.size(), std::vector<double>());
    result.latency_bytes = latency;
    result.latency_ns.assign(latency.size(), std::vector<double>());

    clock::time_point start = clock::now();
    auto since_start = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
    auto watch = [&] {
        double figure = gbs(watch_bytes, watch_stride, plan.mhz);
        result.drift.push_back({since_start(), figure});
    };

    watch();
    Random random(plan.seed);
    int done = 0;
    for (int pass = 0; pass < plan.passes; pass++) {
        for (int i : shuffled(points, random)) {
            if (i < (int)cells.size()) {
                result.gbs[i].push_back(gbs(cells[i].bytes(), cells[i].stride, plan.mhz));
            } else {
                size_t j = (size_t)i - cells.size();
                double began = since_start();
                result.latency_ns[j].push_back(latency_ns(plan.latency_buffer, latency[j], plan.seed, plan.mhz));
                result.latency_seconds += since_start() - began;
            }
            done++;
            if (since_start() - result.drift.back().seconds >= plan.watch_every_s)
                watch();
            if (plan.progress)
                plan.progress(done, total, since_start());
        }
    }
    watch();
    result.seconds = since_start();
    return result;
}

}  // namespace record
