// SPDX-License-Identifier: MIT
/*
 * loaded.cpp -- the loaded latency: its team, one point's measurement, the
 * placement of its delays, its knee, its record and its summary.
 */
#include "latency/loaded.h"

#include <stdio.h>


#include <algorithm>
#include <numeric>
#include <cmath>
#include <iterator>
#include <map>

#include "common/memory.h"
#include "common/stats.h"
#include "latency/chase.h"
#include "latency/latency.h"
#include "machine/cpu.h"
#include "common/random.h"

namespace latency
{

/* ====================== Which CPUs ====================== */

LoadedCpus loaded_cpus(const std::string &root, const std::vector<int> &allowed, int chaser)
{
    LoadedCpus team;
    std::vector<int> others;
    std::copy_if(allowed.begin(), allowed.end(), std::back_inserter(others),
                 [&](int c) { return c != chaser; });
    int loaders = (int)others.size();
    double quota = bandwidth::cpu_quota(root);
    if (quota > 0.0)
        loaders = std::min(loaders, (int)std::floor(quota + 1e-9) - 1);
    if (loaders < 1) {
        char text[200];
        if (others.empty())
            snprintf(text, sizeof text,
                     "loaded latency: skipped, as CPU %d is the only one this session may use", chaser);
        else
            snprintf(
                text, sizeof text,
                "loaded latency: skipped, as the cgroup's CPU quota allows %.2g CPU%s, one CPU's "
                "time for the chase and none for a load",
                quota, quota == 1.0 ? "" : "s");
        team.note = text;
        return team;
    }
    bandwidth::Placement p = bandwidth::place(root, others, loaders);
    if (!p.error.empty()) {
        team.note = "loaded latency: skipped: " + p.error;
        return team;
    }
    team.cpus.push_back(chaser);
    team.cpus.insert(team.cpus.end(), p.cpus.begin(), p.cpus.end());
    team.warning = p.warning;
    return team;
}

/* ====================== Measuring one point ====================== */

uint64_t load_bytes_of(uint64_t chase_bytes, int loaders, double room)
{
    uint64_t bytes = chase_bytes;
    if (room >= 0.0 && loaders > 0) {
        double share = room / loaders;
        while (bytes > loaded_block && (double)bytes > share)
            bytes /= 2;
    }
    return std::max(bytes - bytes % loaded_block, loaded_block);
}

void build_loaded_cycle(LoadedSetup &setup)
{
    Random random(cycle_seed(setup.seed, setup.bytes));
    build_cycle(setup.buffer, setup.bytes / line_bytes, random);
    setup.at = setup.buffer;
    machine::flush_lines(setup.buffer, setup.bytes);
}

int loaded_loads(uint64_t bytes)
{
    return (int)std::max<uint64_t>(bytes / line_bytes / 64, uint64_t(1) << 16);
}

LoadedWindow best_window(const std::vector<LoadedWindow> &windows)
{
    const double heaviest = std::accumulate(windows.begin(), windows.end(), 0.0, [](double most, const LoadedWindow &w) {
        return std::max(most, w.load_gbs);
    });
    LoadedWindow best;
    for (const LoadedWindow &w : windows) {
        const bool timed = w.ns > 0.0 && std::isfinite(w.ns);
        if (timed && w.load_gbs + w.grain_gbs >= loaded_share * heaviest && (best.ns == 0.0 || w.ns < best.ns))
            best = w;
    }
    return best;
}

LoadedPoint measure_loaded(bandwidth::Team &team, LoadedSetup &setup, bw_kernel_fn kernel,
                           uint64_t delay)
{
    LoadedPoint p;
    p.delay = delay;
    if (!team.error().empty()) {
        p.error = team.error();
        return p;
    }
    const bool load = delay != idle_delay;
    if (load) {
        if (kernel == nullptr || team.size() < 2) {
            p.error = "a loaded point needs a kernel and a loader beside the chaser";
            return p;
        }
        team.start_load(kernel, setup.load_bytes, delay, 1, loaded_block);
    }
    const int loads = loaded_loads(setup.bytes);
    const double grain_bytes = (double)loaded_block * (team.size() - 1);
    /* A window's load is what the loaders moved between two marks read
     * round its chase, outside the chase's own timing. */
    std::vector<LoadedWindow> windows;
    for (int i = 0; i < loaded_windows; i++) {
        bandwidth::LoadMark from;
        if (load)
            from = team.load_mark();
        double cycles = setup.chase(setup.buffer, &setup.at, loads);
        LoadedWindow w;
        w.ns = setup.mhz > 0.0 ? cycles / setup.mhz * 1000.0 : 0.0;
        if (load) {
            bandwidth::Load l = team.load_between(from, team.load_mark());
            w.load_gbs = l.gbs;
            w.grain_gbs = l.seconds > 0.0 ? grain_bytes / l.seconds / 1e9 : 0.0;
        }
        windows.push_back(w);
    }
    if (load) {
        bandwidth::Load l = team.stop_load();
        if (!l.error.empty()) {
            p.error = l.error;
            return p;
        }
    }
    LoadedWindow best = best_window(windows);
    p.ns = best.ns;
    p.load_gbs = best.load_gbs;
    if (!(p.ns > 0.0))
        p.error = "the chase gave no time";
    return p;
}

/* ====================== Where the delays go ====================== */

uint64_t first_delay(uint64_t block, int loaders, double full_gbs, double mhz)
{
    if (!(full_gbs > 0.0) || !(mhz > 0.0) || loaders < 1)
        return 1;
    /* One loader's share of the full load, in bytes per counter cycle. */
    double per_cycle = full_gbs * 1e9 / loaders / (mhz * 1e6);
    double cycles = (double)block / per_cycle;
    return cycles >= 1.0 && cycles < 1e15 ? (uint64_t)cycles : 1;
}

/* split returns the delay between two neighbours a < b by delay: their
 * geometric mean, half of b next to none, twice a next to idle. */
static uint64_t split(uint64_t a, uint64_t b)
{
    if (b == idle_delay)
        return a > idle_delay / 4 ? a : std::max<uint64_t>(a * 2, 1);
    if (a == 0)
        return b / 2;
    return (uint64_t)std::llround(std::sqrt((double)a) * std::sqrt((double)b));
}

std::optional<uint64_t> next_delay(const std::vector<LoadedPoint> &points, const DelayRule &rule)
{
    std::vector<LoadedPoint> curve(points);
    std::sort(curve.begin(), curve.end(),
              [](const LoadedPoint &a, const LoadedPoint &b) { return a.delay < b.delay; });
    const int delays = (int)std::count_if(curve.begin(), curve.end(),
                                          [](const LoadedPoint &p) { return p.delay != idle_delay; });
    if (curve.empty() || curve.front().delay != 0 || delays >= rule.most)
        return std::nullopt;
    const double full = curve.front().load_gbs;

    /* The coarse set: doubling until the load is a small share of the full. */
    const LoadedPoint &longest = curve[(size_t)delays - 1];
    const uint64_t first = std::max<uint64_t>(rule.first, 1);
    const uint64_t reach = rule.doublings < 64 && first <= idle_delay >> rule.doublings
                               ? first << rule.doublings
                               : idle_delay - 1;
    if (longest.delay == 0)
        return first;
    if (longest.delay < reach && longest.load_gbs > rule.least_share * full)
        return std::max(longest.delay * 2, first);

    /* Then the widest gap, each axis over its range; the ns over no less
     * than half the least of them, as the ns of a flat curve differ by
     * their noise alone, which would draw every split to where it is
     * loudest. */
    double top_gbs = 0.0;
    double least_ns = curve.front().ns;
    double most_ns = curve.front().ns;
    for (const LoadedPoint &p : curve) {
        top_gbs = std::max(top_gbs, p.load_gbs);
        least_ns = std::min(least_ns, p.ns);
        most_ns = std::max(most_ns, p.ns);
    }
    const double gbs_range = top_gbs > 0.0 ? top_gbs : 1.0;
    const double ns_spread = std::max(most_ns - least_ns, least_ns / 2.0);
    const double ns_range = ns_spread > 0.0 ? ns_spread : 1.0;
    std::optional<uint64_t> widest;
    double widest_gap = -1.0;
    for (size_t i = 0; i + 1 < curve.size(); i++) {
        const LoadedPoint &a = curve[i];
        const LoadedPoint &b = curve[i + 1];
        uint64_t d = split(a.delay, b.delay);
        if (d <= a.delay || d >= b.delay)
            continue;
        double gap = std::hypot((b.load_gbs - a.load_gbs) / gbs_range, (b.ns - a.ns) / ns_range);
        if (gap > widest_gap) {
            widest_gap = gap;
            widest = d;
        }
    }
    return widest;
}

std::vector<uint64_t> choose_delays(bandwidth::Team &team, LoadedSetup &setup, bw_kernel_fn kernel,
                                    const LoadedPoint &idle, DelayRule rule, std::string *error)
{
    /* The loaders map and first touch their buffers at their first load:
     * a load stopped at once does it before anything is timed. */
    team.start_load(kernel, setup.load_bytes, 0, 1, loaded_block);
    bandwidth::Load warm = team.stop_load();
    if (!warm.error.empty()) {
        if (error != nullptr)
            *error = warm.error;
        return {};
    }
    std::vector<LoadedPoint> points{idle};
    auto take = [&](uint64_t delay) {
        LoadedPoint p = measure_loaded(team, setup, kernel, delay);
        if (!p.error.empty() && error != nullptr)
            *error = p.error;
        points.push_back(p);
        return p.error.empty();
    };
    if (!take(0))
        return {};
    rule.first = first_delay(loaded_block, team.size() - 1, points.back().load_gbs, setup.mhz);
    for (std::optional<uint64_t> delay = next_delay(points, rule); delay; delay = next_delay(points, rule))
        if (!take(*delay))
            return {};
    std::vector<uint64_t> delays;
    for (const LoadedPoint &p : points)
        if (p.delay != idle_delay)
            delays.push_back(p.delay);
    std::sort(delays.begin(), delays.end());
    return delays;
}

/* ====================== What it says ====================== */

std::vector<LoadedPoint> loaded_medians(const std::vector<LoadedSeries> &series, const std::string &kernel)
{
    std::vector<LoadedPoint> points;
    for (const LoadedSeries &s : series)
        if (s.delay == idle_delay || s.kernel == kernel) {
            LoadedPoint p;
            p.delay = s.delay;
            p.load_gbs = s.delay == idle_delay ? 0.0 : memsweep::median(s.load_gbs);
            p.ns = memsweep::median(s.ns);
            points.push_back(p);
        }
    return points;
}

/* gb_s shows a load with its unit: "1.5 GB/s", "18.0 GB/s". */
static std::string gb_s(double gbs)
{
    return memsweep::gbs_text(gbs) + " GB/s";
}

std::string loaded_summary(const std::vector<LoadedSeries> &series, double peak_gbs)
{
    const std::string kernel = bandwidth::kernel_name(bandwidth::Kernel::vector_read);
    std::vector<LoadedPoint> curve = loaded_medians(series, kernel);
    auto idle =
        std::find_if(curve.begin(), curve.end(), [](const LoadedPoint &p) { return p.delay == idle_delay; });
    auto full = std::find_if(curve.begin(), curve.end(), [](const LoadedPoint &p) { return p.delay == 0; });
    if (idle == curve.end() || full == curve.end())
        return "";
    Knee knee = knee_of(curve);
    const double highest =
        std::max_element(curve.begin(), curve.end(), [](const LoadedPoint &a, const LoadedPoint &b) {
            return a.load_gbs < b.load_gbs;
        })->load_gbs;
    const double peak = peak_gbs > 0.0 ? peak_gbs : highest;
    std::string text = "loaded latency: idle " + ns_text(idle->ns) + "; " + ns_text(full->ns) + " at " +
                       gb_s(full->load_gbs);
    if (peak > 0.0)
        text += " (" + std::to_string((int)std::lround(full->load_gbs / peak * 100.0)) + " % of peak)";
    text += knee.found ? "; knee at " + gb_s(knee.gbs) : "; no knee below " + gb_s(knee.gbs);
    return text;
}

std::string open_loaded(const std::vector<int> &cpus, machine::Pages pages, LoadedSetup &setup,
                        std::unique_ptr<bandwidth::Team> *team, std::vector<LoadedPlanPoint> *points,
                        std::vector<bw_kernel_fn> *fns)
{
    bandwidth::Machine machine;
    machine.pin = machine::pin;
    machine.map = machine::map_buffer;
    machine.unmap = machine::unmap_buffer;
    machine.advise = [pages](void *p, size_t n) { return machine::advise_pages(p, n, pages); };
    /* The loaders' figure spans a window of the chase, 2^16 loads or more,
     * milliseconds: the system's clock times it well on any machine. */
    *team = std::make_unique<bandwidth::Team>(cpus, machine, bandwidth::Timer::monotonic_raw, setup.mhz);
    std::string error = (*team)->error();
    if (!error.empty())
        return error;
    build_loaded_cycle(setup);
    LoadedPoint idle = measure_loaded(**team, setup, nullptr, idle_delay);
    if (!idle.error.empty())
        return idle.error;
    points->push_back({"", idle_delay});
    fns->push_back(nullptr);
    for (const bandwidth::Choice &c : bandwidth::choose_all()) {
        if (c.fn == nullptr || (c.kernel != bandwidth::Kernel::vector_read && c.kernel != bandwidth::Kernel::copy))
            continue;
        for (uint64_t delay : choose_delays(**team, setup, c.fn, idle, DelayRule(), &error)) {
            points->push_back({bandwidth::kernel_name(c.kernel), delay});
            fns->push_back(c.fn);
        }
        if (!error.empty())
            return error;
    }
    return "";
}

}  // namespace latency
