// SPDX-License-Identifier: MIT
/*
 * writer.cpp -- the record, from the model.
 */
#include "format/writer.h"

#include <math.h>

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

namespace format
{

using json = nlohmann::ordered_json;

/* A figure, or null where it is unknown (negative) or not finite. */
static json known(double v)
{
    return isfinite(v) && v >= 0.0 ? json(v) : json(nullptr);
}

static json finite(double v)
{
    return isfinite(v) ? json(v) : json(nullptr);
}

static bool all_finite(const std::vector<double> &v)
{
    return std::all_of(v.begin(), v.end(), [](double x) { return isfinite(x); });
}

static bool all_finite(const Figures &f)
{
    return all_finite(f.passes) && isfinite(f.median) && isfinite(f.min) && isfinite(f.max);
}

static json text_or_null(const std::string &text)
{
    return text.empty() ? json(nullptr) : json(text);
}

/* The checks' report, kept as its JSON text. */
static json report(const std::string &text)
{
    return text.empty() ? json(nullptr) : json::parse(text, nullptr, false);
}

static json figures(const Figures &f, const char *median)
{
    return {{median, f.median}, {"min", f.min}, {"max", f.max}, {"passes", f.passes}};
}

/* What is left out of the record, and why not all of it. */
struct Left {
    std::vector<std::string> out;
    std::string error;
    void leave_out(const std::string &what)
    {
        out.push_back(what + " is left out of the record: a figure of it is not finite");
    }
};

static json drift_json(const Record &r, Left *left)
{
    json drift = json::array();
    for (const DriftReading &d : r.drift) {
        if (isfinite(d.seconds) && isfinite(d.gbs))
            drift.push_back({{"seconds", d.seconds}, {"gbs", d.gbs}});
        else
            left->leave_out("a drift reading");
    }
    return drift;
}

static json cells_json(const Record &r, Left *left)
{
    json cells = json::array();
    for (const CellPoint &c : r.cells) {
        if (!all_finite(c.gbs)) {
            left->error = "cell (label " + std::to_string(c.label) + ", stride " + std::to_string(c.stride) +
                          ") has a figure that is not finite, and a record has every cell";
            return cells;
        }
        json cell = {{"label", c.label}, {"stride", c.stride}};
        cell.update(figures(c.gbs, "median"));
        cells.push_back(cell);
    }
    return cells;
}

/* Cycles are counter cycles per load: the time, at the counter's rate. */
static json latency_json(const Record &r, Left *left)
{
    json latency = json::array();
    for (const LatencyPoint &p : r.latency) {
        if (!all_finite(p.ns)) {
            left->leave_out("the latency at " + std::to_string(p.bytes) + " bytes");
            continue;
        }
        latency.push_back({{"bytes", p.bytes},
                           {"ns", p.ns.median},
                           {"cycles", p.ns.median * r.counter_mhz / 1000.0},
                           {"min", p.ns.min},
                           {"max", p.ns.max},
                           {"passes", p.ns.passes}});
    }
    return latency;
}

/* bytes is each thread's working set; total_bytes all threads'. */
static json bandwidth_json(const Record &r, Left *left)
{
    json bandwidth = json::array();
    for (const BandwidthPoint &p : r.bandwidth) {
        if (!all_finite(p.gbs)) {
            left->leave_out("the bandwidth of " + p.kernel + " on " + std::to_string(p.threads) + " threads at " +
                            std::to_string(p.bytes) + " bytes");
            continue;
        }
        json point = {{"kernel", p.kernel},
                      {"isa", p.isa},
                      {"threads", p.threads},
                      {"bytes", p.bytes},
                      {"total_bytes", p.bytes * (uint64_t)p.threads}};
        point.update(figures(p.gbs, "gbs"));
        bandwidth.push_back(point);
    }
    return bandwidth;
}

static json loaded_json(const Record &r, Left *left)
{
    json loaded = json::array();
    for (const LoadedLatencyPoint &p : r.loaded) {
        const bool idle = p.delay == idle_delay;
        if (!all_finite(p.ns) || !isfinite(p.load_gbs) || !all_finite(p.load_passes)) {
            left->leave_out(idle ? std::string("the idle loaded latency")
                                 : "the loaded latency of " + p.kernel + " at delay " + std::to_string(p.delay));
            continue;
        }
        json point = {{"kernel", idle ? json(nullptr) : json(p.kernel)},
                      {"delay", idle ? json(nullptr) : json(p.delay)},
                      {"load_gbs", idle ? 0.0 : p.load_gbs}};
        point.update(figures(p.ns, "ns"));
        point["load_passes"] = idle ? std::vector<double>() : p.load_passes;
        loaded.push_back(point);
    }
    return loaded;
}

Written write_record(const Record &r)
{
    Written w;
    const bool clock_known = isfinite(r.counter_mhz) && r.counter_mhz > 0.0 && isfinite(r.factor) && r.factor > 0.0;
    if (!clock_known) {
        w.error = "the counter's rate is not a figure above 0, so no time in the record would be";
        return w;
    }
    Left left;
    const json cells = cells_json(r, &left);
    const json drift = drift_json(r, &left);
    const json latency = latency_json(r, &left);
    const json bandwidth = bandwidth_json(r, &left);
    const json loaded = loaded_json(r, &left);
    if (!left.error.empty()) {
        w.error = left.error;
        return w;
    }
    w.left_out = left.out;
    std::vector<std::string> warnings = r.warnings;
    warnings.insert(warnings.end(), w.left_out.begin(), w.left_out.end());

    json j;
    j["format"] = name;
    j["format_version"] = version;
    j["version"] = r.version;
    j["command"] = r.command;
    j["start"] = r.start;
    j["end"] = r.end;
    j["seconds"] = finite(r.seconds);
    j["latency_seconds"] = finite(r.latency_seconds);
    j["seed"] = r.seed;
    j["passes"] = r.passes;
    j["cpu"] = r.cpu;
    j["host"] = text_or_null(r.host);
    j["machine"] = {{"model", r.model},
                    {"cpus", r.cpus},
                    {"numa_nodes", r.numa_nodes > 0 ? json(r.numa_nodes) : json(nullptr)},
                    {"memory_mib", known(r.memory_mib)}};
    j["pages"] = {{"mode", r.pages},
                  {"huge_share", finite(r.huge_share)},
                  {"fresh_each_pass", r.fresh_pages},
                  {"huge_share_after", known(r.huge_share_after)},
                  {"latency_huge_share", known(r.latency_huge_share)}};
    j["clock"] = {{"cpu_mhz", finite(r.cpu_mhz)},
                  {"counter_mhz", r.counter_mhz},
                  {"factor", r.factor},
                  {"counter_step", finite(r.counter_step)}};
    j["checks_before"] = report(r.checks_before);
    j["checks_after"] = report(r.checks_after);
    j["after"] = {{"other_work_cpus", known(r.other_work_cpus)},
                  {"cpu_mhz", finite(r.cpu_mhz_after)},
                  {"counter_mhz", finite(r.counter_mhz_after)}};
    j["warnings"] = warnings;
    j["throttled_passes"] = r.throttled_passes;
    j["drift"] = drift;
    json rows = json::array();
    std::transform(r.largest_row_by_pass.begin(), r.largest_row_by_pass.end(), std::back_inserter(rows), finite);
    j["largest_row_by_pass"] = rows;
    j["cells"] = cells;
    j["latency"] = latency;
    j["bandwidth_seconds"] = finite(r.bandwidth_seconds);
    if (r.has_plane)
        j["bandwidth_plane"] = {{"timer", text_or_null(r.plane.timer)},
                                {"timer_note", r.plane.timer_note},
                                {"threads", r.plane.threads},
                                {"cpus", r.plane.cpus},
                                {"notes", r.plane.notes},
                                {"ended", text_or_null(r.plane.ended)}};
    else
        j["bandwidth_plane"] = nullptr;
    j["bandwidth"] = bandwidth;
    j["loaded_latency_seconds"] = finite(r.loaded_seconds);
    j["loaded_latency_probe_seconds"] = finite(r.loaded_probe_seconds);
    j["loaded_latency"] = loaded;
    /* The rated peak, and the plane's memory figure as a share of it. */
    const MemoryRead read = memory_read(r);
    json read_json = nullptr;
    if (!read.kernel.empty() && isfinite(read.gbs))
        read_json = {{"kernel", read.kernel},     {"isa", read.isa},        {"threads", read.threads},
                     {"bytes", read.bytes},       {"gbs", read.gbs},        {"beyond_caches", read.beyond_caches}};
    const bool rated = isfinite(r.rated.gbs) && r.rated.gbs > 0.0;
    j["memory"] = {{"rated_gbs", rated ? json(r.rated.gbs) : json(nullptr)},
                   {"rated_source", text_or_null(rated ? r.rated.source : std::string())},
                   {"rated_unknown", text_or_null(rated ? std::string() : r.rated.unknown)},
                   {"kind", text_or_null(r.rated.kind)},
                   {"read", read_json},
                   {"share", rated && !read_json.is_null() ? json(read.gbs / r.rated.gbs) : json(nullptr)}};
    w.text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return w;
}

}  // namespace format
