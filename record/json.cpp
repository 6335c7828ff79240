// SPDX-License-Identifier: MIT
/*
 * json.cpp -- the record, from what the session gathered.
 */
#include "record/json.h"

#include <algorithm>
#include <iterator>

#include "record/loaded.h"
#include "record/report.h"

namespace record {

const char format_name[] = "memsweep-record";
const int format_version = 1;

/* ====================== The record ====================== */

json record_json(const Session &s)
{
    json r;
    r["format"] = format_name;
    r["format_version"] = format_version;
    r["version"] = s.version;
    r["command"] = s.command;
    r["start"] = s.start;
    r["end"] = s.end;
    r["seconds"] = s.seconds;
    r["latency_seconds"] = s.passes.latency_seconds;
    r["seed"] = s.seed;
    r["passes"] = s.passes.gbs.empty() ? 0 : s.passes.gbs.front().size();
    r["cpu"] = s.cpu;
    r["machine"] = {{"model", s.model},
                    {"cpus", s.cpus},
                    {"memory_mib", s.memory_mib >= 0.0 ? json(s.memory_mib) : json(nullptr)}};
    r["pages"] = {{"mode", pages_name(s.pages)},
                  {"huge_share", s.huge_share},
                  {"fresh_each_pass", s.fresh_pages},
                  {"huge_share_after", s.huge_share_after >= 0.0 ? json(s.huge_share_after) : json(nullptr)},
                  {"latency_huge_share", s.latency_huge_share >= 0.0 ? json(s.latency_huge_share) : json(nullptr)}};
    r["clock"] = {{"cpu_mhz", s.cpu_mhz},
                  {"counter_mhz", s.counter_mhz},
                  {"factor", s.cpu_mhz / s.counter_mhz},
                  {"counter_step", s.counter_step}};
    r["checks_before"] = checks::report_json(s.checks_before, "");
    r["checks_after"] = checks::report_json(s.checks_after, "");
    r["after"] = {{"other_work_cpus", s.other_work_cpus >= 0.0 ? json(s.other_work_cpus) : json(nullptr)},
                  {"cpu_mhz", s.cpu_mhz_after},
                  {"counter_mhz", s.counter_mhz_after}};
    r["warnings"] = s.warnings;
    json drift = json::array();
    std::transform(s.passes.drift.begin(), s.passes.drift.end(), std::back_inserter(drift),
                   [](const Watch &w) { return json{{"seconds", w.seconds}, {"gbs", w.gbs}}; });
    r["drift"] = drift;
    r["largest_row_by_pass"] = row_by_pass(s.passes);
    json cells = json::array();
    std::vector<Cell> grid_cells = grid();
    for (size_t i = 0; i < grid_cells.size() && i < s.passes.gbs.size(); i++) {
        Spread sp = spread_of(s.passes.gbs[i]);
        cells.push_back({{"label", grid_cells[i].label},
                         {"stride", grid_cells[i].stride},
                         {"median", sp.median},
                         {"min", sp.min},
                         {"max", sp.max},
                         {"passes", s.passes.gbs[i]}});
    }
    r["cells"] = cells;
    /* Cycles are counter cycles per load: the time, at the counter's rate. */
    json latency = json::array();
    for (size_t j : latency_by_size(s.passes)) {
        Spread sp = spread_of(s.passes.latency_ns[j]);
        latency.push_back({{"bytes", s.passes.latency_bytes[j]},
                           {"ns", sp.median},
                           {"cycles", sp.median * s.counter_mhz / 1000.0},
                           {"min", sp.min},
                           {"max", sp.max},
                           {"passes", s.passes.latency_ns[j]}});
    }
    r["latency"] = latency;
    r["bandwidth_seconds"] = s.passes.plane_seconds;
    if (s.bandwidth)
        r["bandwidth_plane"] = {{"timer", s.plane.timer.empty() ? json(nullptr) : json(s.plane.timer)},
                                {"timer_note", s.plane.timer_note},
                                {"threads", s.plane.threads},
                                {"cpus", s.plane.cpus},
                                {"notes", s.plane.notes},
                                {"ended", s.plane_error.empty() ? json(nullptr) : json(s.plane_error)}};
    else
        r["bandwidth_plane"] = nullptr;
    /* bytes is each thread's working set; total_bytes all threads'. */
    json bandwidth = json::array();
    for (size_t k = 0; k < s.passes.plane.size() && k < s.passes.plane_gbs.size(); k++) {
        const PlanePoint &p = s.passes.plane[k];
        if (s.passes.plane_gbs[k].empty())
            continue;
        Spread sp = spread_of(s.passes.plane_gbs[k]);
        bandwidth.push_back({{"kernel", p.kernel},
                             {"isa", p.isa},
                             {"threads", p.threads},
                             {"bytes", p.bytes},
                             {"total_bytes", p.bytes * (uint64_t)p.threads},
                             {"gbs", sp.median},
                             {"min", sp.min},
                             {"max", sp.max},
                             {"passes", s.passes.plane_gbs[k]}});
    }
    r["bandwidth"] = bandwidth;
    r["loaded_latency_seconds"] = s.passes.loaded_seconds;
    r["loaded_latency_probe_seconds"] = s.loaded_probe_seconds;
    r["loaded_latency"] = loaded_json(loaded_series(s.passes));
    return r;
}

}  // namespace record
