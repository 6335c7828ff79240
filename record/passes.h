// SPDX-License-Identifier: MIT
/*
 * passes.h -- memsweep-record's measuring: shuffled passes over memsweep's
 * grid and the latency's working sets, with a drift watch between points.
 *
 * Every cell is one call of the sweep's run(), exactly as memsweep measures
 * it, with the counter's measured rate as the clock: the figures are bytes
 * per second of real time, in GB/s (10^9 bytes per second).  The latency's
 * points are one measurement of the pointer chase each (chase.h), in
 * nanoseconds per load with the same clock.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_PASSES_H
#define MEMSWEEP_RECORD_PASSES_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "common/grid.h"
#include "common/stats.h"
#include "latency/knee.h"

namespace record {

using latency::LoadedPlanPoint;
using memsweep::Cell;
using memsweep::Spread;
using memsweep::grid;
using memsweep::spread_of;

/* One reading of the drift watch: the fixed core-bound cell (16 KiB,
 * stride 1) measured again, `seconds` into the session. */
struct Watch {
    double seconds;
    double gbs;
};

/* One point of the bandwidth plane: a kernel as the record names it, the
 * instruction set it runs with ("scalar" for the scalar read), the thread
 * count, and the working set per thread in bytes. */
struct PlanePoint {
    std::string kernel;
    std::string isa;
    int threads = 0;
    uint64_t bytes = 0;
};

/* What a session's plane ran with, for its record: the clock that timed
 * it ("counter" or "CLOCK_MONOTONIC_RAW") and why not the counter, the
 * thread counts and each count's CPUs, and the kernels left out. */
struct PlaneFacts {
    std::string timer;
    std::string timer_note;
    std::vector<int> threads;
    std::vector<std::vector<int>> cpus;
    std::vector<std::string> notes;
};

/* measure_plane(i, &error) measures the plane's point i once and returns
 * its GB/s; where it can't, it returns with error set, and the plane ends. */
using PlaneMeasure = std::function<double(size_t, std::string *)>;

/* measure_loaded(i, &load_gbs, &ns, &error) measures the loaded latency's
 * point i once: the loaders' GB/s and the chase's ns per load; where it
 * can't, it returns with error set, and the curve ends.  Its chase has a
 * buffer of its own. */
using LoadedMeasure = std::function<void(size_t, double *, double *, std::string *)>;

/* What a session measures: passes over the grid and the latency's sizes,
 * each pass in a new order. */
struct Plan {
    int passes = 5;
    uint64_t seed = 0;
    double mhz = 0.0;            /* the counter's rate, which turns cycles into time */
    double watch_every_s = 3.0;  /* the drift watch's interval */
    /* The latency's working sets in bytes, ascending (none: no latency),
     * and the buffer their cycles are built in, 64-byte aligned and at
     * least as large as the largest. */
    std::vector<uint64_t> latency_bytes;
    void *latency_buffer = nullptr;
    /* The bandwidth plane's points (none: no plane) and what measures one. */
    std::vector<PlanePoint> plane;
    PlaneMeasure measure_plane;
    /* The loaded latency's points, the idle one first (none: no curve), and
     * what measures one. */
    std::vector<LoadedPlanPoint> loaded;
    LoadedMeasure measure_loaded;
    /* renew_pages, where given, is called before every pass after the
     * first: it gives the measured memory new physical pages and fills it
     * again. */
    std::function<void()> renew_pages;
    /* throttled, where given, returns the periods the cgroup's quota has
     * throttled the process so far (negative: unknown); it is read before
     * and after every pass. */
    std::function<long long()> throttled;
    /* progress(done, total, elapsed seconds) is called after every cell,
     * every latency point and every plane point; it may be empty. */
    std::function<void(int, int, double)> progress;
};

/* What it found: every cell's figure in every pass, in GB/s, by the cell's
 * place in grid(); every latency size's figure in every pass, in ns per
 * load, by its place in latency_bytes; every plane point's figure in every
 * pass, in GB/s, by its place in plane (none at all when the plane ended,
 * with plane_error saying why); the drift watch; the time it took, and how
 * much of it the latency's and the plane's points took. */
struct Passes {
    std::vector<std::vector<double>> gbs;
    std::vector<uint64_t> latency_bytes;
    std::vector<std::vector<double>> latency_ns;
    std::vector<PlanePoint> plane;
    std::vector<std::vector<double>> plane_gbs;
    std::string plane_error;
    std::vector<LoadedPlanPoint> loaded;
    std::vector<std::vector<double>> loaded_gbs, loaded_ns;
    std::string loaded_error;
    std::vector<int> throttled_passes;  /* the passes (from 1) the quota throttled */
    long long throttled_periods = 0;    /* how many periods, over all of them */
    std::vector<Watch> drift;
    double seconds = 0.0;
    double latency_seconds = 0.0;
    double plane_seconds = 0.0;
    double loaded_seconds = 0.0;
};

/* measure runs the passes: each pass measures every cell of the grid,
 * every latency size, every plane point and every loaded-latency point once, in an order of its own drawn from plan.seed, so
 * that a drift of the machine's speed over time lines up neither with the
 * size axis nor with one kind of measurement.  A latency point builds its
 * size's cycle in the buffer (from cycle_seed, the same cycle in every
 * pass) and chases it.  A plane point that can't be measured ends the
 * plane: its figures are dropped, its later points skipped, and the passes
 * go on; so does a loaded-latency point that can't be measured, for the
 * curve.  The watch cell is measured at the start, whenever
 * watch_every_s has passed since its last reading (between two points),
 * and at the end. */
Passes measure(const Plan &plan);

}  // namespace record

#endif /* MEMSWEEP_RECORD_PASSES_H */
