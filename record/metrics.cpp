// SPDX-License-Identifier: MIT
/*
 * metrics.cpp -- a record's summary figures as Prometheus series (metrics.h).
 */
#include "record/metrics.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "common/shown.h"
#include "latency/latency.h"

namespace record {

std::string label_value(const std::string &text)
{
    std::string out;
    for (char c : shown_line(text, 200)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

/* value writes a sample's value as the format's float: nine digits, and
 * whole numbers (the timestamp) whole. */
static std::string value(double v)
{
    char text[40];
    if (v == (double)(long long)v && v < 1e15 && v > -1e15)
        snprintf(text, sizeof text, "%lld", (long long)v);
    else
        snprintf(text, sizeof text, "%.9g", v);
    return text;
}

/* end_seconds reads the record's end, as 2026-12-10T10:05:00Z, as seconds
 * since the epoch; negative where it is no such time. */
static double end_seconds(const std::string &end)
{
    struct tm t = {};
    int n = 0;
    if (sscanf(end.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec, &n) != 6 ||
        (size_t)n != end.size())
        return -1.0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return (double)timegm(&t);
}

std::string metrics_text(const format::Record &r)
{
    const std::string who = "host=\"" + label_value(r.host) + "\",cpu=\"" + label_value(r.model) + "\"";
    std::string out;
    auto family = [&](const char *name, const char *help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    };
    auto sample = [&](const char *name, const std::string &labels, double v) {
        out += std::string(name) + "{" + who + (labels.empty() ? "" : "," + labels) + "} " + value(v) + "\n";
    };

    family("memsweep_info", "The record this file comes from: memsweep's version and the plane's instruction sets.");
    sample("memsweep_info",
           "version=\"" + label_value(r.version) + "\",isa=\"" + label_value(format::bandwidth_isa(r)) + "\"", 1.0);

    std::vector<format::PlaneMemory> plane = format::plane_memory(r);
    if (!plane.empty()) {
        family("memsweep_bandwidth_bytes_per_second",
               "The bandwidth plane at the memory: each kernel's median over its working sets beyond the largest "
               "cache, by thread count (beyond_caches=\"false\": its largest working set's).");
        for (const format::PlaneMemory &p : plane)
            sample("memsweep_bandwidth_bytes_per_second",
                   "kernel=\"" + label_value(p.kernel) + "\",isa=\"" + label_value(p.isa) + "\",threads=\"" +
                       std::to_string(p.threads) + "\",beyond_caches=\"" + (p.beyond_caches ? "true" : "false") +
                       "\"",
                   p.gbs * 1e9);
    }

    format::MemoryRead read = format::memory_read(r);
    if (!read.kernel.empty()) {
        family("memsweep_memory_read_bytes_per_second",
               "The plane's best read at its most threads over the working sets beyond the largest cache.");
        sample("memsweep_memory_read_bytes_per_second",
               "kernel=\"" + label_value(read.kernel) + "\",threads=\"" + std::to_string(read.threads) + "\"",
               read.gbs * 1e9);
    }

    std::vector<latency::LatencyFigure> figures(r.latency.size());
    std::transform(r.latency.begin(), r.latency.end(), figures.begin(),
                   [](const format::LatencyPoint &p) { return latency::LatencyFigure{p.bytes, p.ns.median}; });
    std::vector<latency::Cache> caches(r.caches.size());
    std::transform(r.caches.begin(), r.caches.end(), caches.begin(),
                   [](const format::CacheSize &c) { return latency::Cache{c.name, c.bytes}; });
    std::vector<latency::LevelLatency> levels = latency::latency_levels(figures, caches);
    if (!levels.empty()) {
        family("memsweep_latency_seconds",
               "The load-to-use latency by cache level, the median of the sizes that fit in half of it, and the "
               "memory's at the largest size.");
        for (const latency::LevelLatency &l : levels)
            sample("memsweep_latency_seconds", "level=\"" + label_value(l.name) + "\"", l.ns * 1e-9);
    }

    if (r.rated.gbs > 0.0) {
        family("memsweep_rated_peak_bytes_per_second",
               "The memory's rated peak: its channels times their speed and width, as memsweep-check found it.");
        sample("memsweep_rated_peak_bytes_per_second", "source=\"" + label_value(r.rated.source) + "\"",
               r.rated.gbs * 1e9);
        if (!read.kernel.empty()) {
            family("memsweep_rated_peak_share_ratio", "The plane's memory figure over the rated peak.");
            sample("memsweep_rated_peak_share_ratio", "", read.gbs / r.rated.gbs);
        }
    }

    double end = end_seconds(r.end);
    if (end >= 0.0) {
        family("memsweep_record_end_timestamp_seconds", "When the session ended, in seconds since 1970.");
        sample("memsweep_record_end_timestamp_seconds", "", end);
    }
    return out;
}

}  // namespace record
