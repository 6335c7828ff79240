// SPDX-License-Identifier: MIT
/*
 * model.cpp -- a session as the record's model: what the passes measured,
 * point by point with every pass's figure, and what the session found of
 * the machine.
 */
#include "record/model.h"

#include <algorithm>
#include <map>
#include <set>

#include "check/checks.h"
#include "common/stats.h"
#include "latency/latency.h"
#include "latency/loaded.h"
#include "record/report.h"

namespace record {

using machine::pages_name;

/* loaded_order returns the loaded latency's points' places: the idle point
 * first, then by kernel in the order they first come, each by delay
 * ascending. */
static std::vector<size_t> loaded_order(const Passes &passes)
{
    std::map<std::string, size_t> kernel_rank;
    for (const LoadedPlanPoint &p : passes.loaded)
        if (!p.kernel.empty())
            kernel_rank.emplace(p.kernel, kernel_rank.size() + 1);
    std::vector<size_t> order;
    for (size_t k = 0; k < passes.loaded.size() && k < passes.loaded_ns.size(); k++)
        order.push_back(k);
    auto rank = [&](size_t k) { return passes.loaded[k].kernel.empty() ? 0 : kernel_rank[passes.loaded[k].kernel]; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        size_t ra = rank(a);
        size_t rb = rank(b);
        return ra != rb ? ra < rb : passes.loaded[a].delay < passes.loaded[b].delay;
    });
    return order;
}

format::Record model_of(const Session &s)
{
    const Passes &p = s.passes;
    format::Record r;
    r.passes = p.gbs.empty() ? 0 : (int)p.gbs.front().size();
    r.version = s.version;
    r.command = s.command;
    r.start = s.start;
    r.end = s.end;
    r.seconds = s.seconds;
    r.seed = s.seed;
    r.cpu = s.cpu;
    r.model = s.model;
    r.host = s.host;
    r.throttled_passes = s.passes.throttled_passes;
    for (const latency::Cache &c : latency::caches_of(s.checks_before))
        r.caches.push_back({c.name, c.bytes});
    if (const auto *memory = checks::figures_of<checks::Memory>(s.checks_before)) {
        r.rated.gbs = memory->rated_gbs.value_or(-1.0);
        r.rated.source = memory->rated_source;
        r.rated.unknown = memory->rated_unknown;
        r.numa_nodes = memory->numa_nodes.value_or(0);
        /* What the devices are made as, whatever is in place: a host with
         * one DIMM missing or set slower is still of its fleet's kind. */
        std::set<std::string> kinds;
        for (const checks::Dimm &d : memory->dimms)
            kinds.insert(d.type + (d.rated_mts > 0 ? "-" + std::to_string(d.rated_mts) : std::string()));
        if (kinds.size() == 1 && !kinds.begin()->empty())
            r.rated.kind = *kinds.begin();
        else if (kinds.size() > 1)
            r.rated.kind = "mixed";
    } else {
        r.rated.unknown = "the checks were not run";
    }
    r.cpus = s.cpus;
    r.memory_mib = s.memory_mib;
    r.pages = pages_name(s.pages);
    r.huge_share = s.huge_share;
    r.fresh_pages = s.fresh_pages;
    r.huge_share_after = s.huge_share_after;
    r.latency_huge_share = s.latency_huge_share;
    r.cpu_mhz = s.cpu_mhz;
    r.counter_mhz = s.counter_mhz;
    r.factor = s.cpu_mhz / s.counter_mhz;
    r.counter_step = s.counter_step;
    r.checks_before = checks::format_json(s.checks_before, "");
    r.checks_after = checks::format_json(s.checks_after, "");
    r.other_work_cpus = s.other_work_cpus;
    r.cpu_mhz_after = s.cpu_mhz_after;
    r.counter_mhz_after = s.counter_mhz_after;
    r.warnings = s.warnings;
    for (const Watch &w : p.drift)
        r.drift.push_back({w.seconds, w.gbs});
    r.largest_row_by_pass = row_by_pass(p);

    std::vector<Cell> cells = grid();
    for (size_t i = 0; i < cells.size() && i < p.gbs.size(); i++)
        r.cells.push_back({cells[i].label, cells[i].stride, format::figures_of(p.gbs[i])});
    r.latency_seconds = p.latency_seconds;
    for (size_t j : latency_by_size(p))
        r.latency.push_back({p.latency_bytes[j], format::figures_of(p.latency_ns[j])});

    r.has_plane = s.bandwidth;
    r.plane = {s.plane.timer, s.plane.timer_note, s.plane.threads, s.plane.cpus, s.plane.notes, s.plane_error};
    r.has_bandwidth = true;
    r.bandwidth_seconds = p.plane_seconds;
    for (size_t k = 0; k < p.plane.size() && k < p.plane_gbs.size(); k++)
        if (!p.plane_gbs[k].empty())
            r.bandwidth.push_back({p.plane[k].kernel, p.plane[k].isa, p.plane[k].threads, p.plane[k].bytes,
                                   format::figures_of(p.plane_gbs[k])});

    r.loaded_seconds = p.loaded_seconds;
    r.loaded_probe_seconds = s.loaded_probe_seconds;
    for (size_t k : loaded_order(p)) {
        format::LoadedLatencyPoint point;
        point.kernel = p.loaded[k].kernel;
        point.delay = p.loaded[k].delay;
        if (point.delay != format::idle_delay) {
            point.load_passes = p.loaded_gbs[k];
            point.load_gbs = memsweep::median(point.load_passes);
        }
        point.ns = format::figures_of(p.loaded_ns[k]);
        r.loaded.push_back(point);
    }
    return r;
}

}  // namespace record
