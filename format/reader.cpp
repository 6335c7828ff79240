// SPDX-License-Identifier: MIT
/*
 * reader.cpp -- a record or a table read into the record's model.  Every member
 * the reader keeps is checked for its kind before it is kept; the first
 * problem ends the reading with one line.
 */
#include "format/reader.h"

#include "common/shown.h"
#include "common/text.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

namespace format
{

using json = nlohmann::json;


/* A record holds an object per point and per drift reading, and a few
 * hundred besides: 100,000 bandwidth points, a day's drift readings (one
 * every 3 seconds) and the checks are well under this.  More is no record,
 * and is refused before it is parsed. */
static const size_t max_objects = 250000;

/* ====================== Text ====================== */

std::string one_line(const std::string &text)
{
    return shown_line(text);
}

/* ====================== Kinds ====================== */

/* A problem found: the reading stops with it. */
struct Refusal {
    std::string line;
};

[[noreturn]] static void refuse(const std::string &line)
{
    throw Refusal{line};
}

static bool is_figure(const json &v)
{
    return v.is_number() && isfinite(v.get<double>()) && v.get<double>() >= 0.0;
}

/* whole reads a whole number from 0 to max, as JSON writes it either way
 * (14 or 14.0). */
static bool whole(const json &v, double max, uint64_t *out)
{
    if (!v.is_number())
        return false;
    double d = v.get<double>();
    if (!(d >= 0.0) || !(d <= max) || d != floor(d)) /* NaN too */
        return false;
    *out = v.is_number_unsigned() ? v.get<uint64_t>() : (uint64_t)d;
    return true;
}

/* member returns parent's member at the dotted path for messages; null
 * where it or a parent is missing. */
static const json &member(const json &parent, const char *key)
{
    static const json null_value;
    if (!parent.is_object())
        return null_value;
    auto it = parent.find(key);
    return it == parent.end() ? null_value : *it;
}

static std::string missing_or(const json &v, const std::string &path, const std::string &kind)
{
    return path + (v.is_null() ? " is missing" : " is not " + kind);
}

static double figure_at(const json &parent, const char *key, const std::string &path)
{
    const json &v = member(parent, key);
    if (!is_figure(v))
        refuse(missing_or(v, path, "a number of 0 or more"));
    return v.get<double>();
}

static std::string text_at(const json &parent, const char *key, const std::string &path)
{
    const json &v = member(parent, key);
    if (!v.is_string())
        refuse(missing_or(v, path, "text"));
    return v.get<std::string>();
}

/* The optional members: absent or null keeps the default; anything else
 * must be of its kind. */
static void figure_if(const json &parent, const char *key, const std::string &path, double *out)
{
    if (!member(parent, key).is_null())
        *out = figure_at(parent, key, path);
}

static void text_if(const json &parent, const char *key, const std::string &path, std::string *out)
{
    if (!member(parent, key).is_null())
        *out = text_at(parent, key, path);
}

static std::vector<std::string> texts_if(const json &parent, const char *key, const std::string &path)
{
    const json &v = member(parent, key);
    if (v.is_null())
        return {};
    if (!v.is_array() || !std::all_of(v.begin(), v.end(), [](const json &w) { return w.is_string(); }))
        refuse(path + " is not a list of text");
    return v.get<std::vector<std::string>>();
}

static std::vector<double> figures_if(const json &parent, const char *key, const std::string &path)
{
    const json &v = member(parent, key);
    if (v.is_null())
        return {};
    if (!v.is_array() || v.size() > (size_t)max_passes || !std::all_of(v.begin(), v.end(), is_figure))
        refuse(path + " is not a list of numbers of 0 or more");
    return v.get<std::vector<double>>();
}

static uint64_t whole_at(const json &parent, const char *key, const std::string &path, double max)
{
    const json &v = member(parent, key);
    uint64_t n = 0;
    if (!whole(v, max, &n))
        refuse(missing_or(v, path, "a whole number up to " + std::to_string((uint64_t)max)));
    return n;
}

/* passes_at reads a point's passes: a list of 1 to max_passes figures, as
 * many as the record's passes where exact. */
static Figures passes_at(const json &point, const std::string &what, int passes, bool exact)
{
    const json &v = member(point, "passes");
    if (!v.is_array() || v.empty() || !std::all_of(v.begin(), v.end(), is_figure))
        refuse(what + " has no list of its passes' figures");
    if (v.size() > (size_t)max_passes || (exact && v.size() != (size_t)passes) || v.size() > (size_t)passes)
        refuse(what + " has " + std::to_string(v.size()) + " passes' figures, where the record has " +
               std::to_string(passes) + " passes");
    /* The median, min and max are the record's summary of the passes: they
     * must be figures, but the passes are what is read. */
    for (const char *key : {"median", "min", "max"})
        if (!member(point, key).is_null() && !is_figure(member(point, key)))
            refuse(what + " has a " + key + " that is not a number of 0 or more");
    return figures_of(v.get<std::vector<double>>());
}

/* ====================== The record ====================== */

/* How a JSON text is built, strings skipped: how deep it nests and how
 * many objects it holds. */
struct Shape {
    int depth = 0;
    size_t objects = 0;
};

static Shape shape_of(const std::string &text)
{
    Shape shape;
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            shape.depth = std::max(shape.depth, ++depth);
            shape.objects += static_cast<unsigned long>(c == '{');
        } else if (c == '}' || c == ']') {
            depth--;
        }
    }
    return shape;
}

static void read_identity(const json &j, Record *r)
{
    r->passes = (int)whole_at(j, "passes", "passes", max_passes);
    if (r->passes < 1)
        refuse("passes is not a whole number from 1 to " + std::to_string(max_passes));
    r->cpu = (int)whole_at(j, "cpu", "cpu", 1 << 30);
    for (auto [key, out] : {std::pair<const char *, std::string *>{"version", &r->version},
                            {"start", &r->start},
                            {"end", &r->end}})
        if (member(j, key).is_string())
            *out = member(j, key).get<std::string>();

    const json &machine = member(j, "machine");
    r->model = text_at(machine, "model", "machine.model");
    if (member(machine, "cpus").is_number())
        r->cpus = (int)whole_at(machine, "cpus", "machine.cpus", 1 << 30);
    if (member(machine, "numa_nodes").is_number())
        r->numa_nodes = (int)whole_at(machine, "numa_nodes", "machine.numa_nodes", 1 << 20);
    const json &memory = member(machine, "memory_mib");
    if (!memory.is_null())
        r->memory_mib = figure_at(machine, "memory_mib", "machine.memory_mib");

    const json &pages = member(j, "pages");
    r->pages = text_at(pages, "mode", "pages.mode");
    if (r->pages != "system" && r->pages != "small" && r->pages != "huge")
        refuse("pages.mode is not system, small or huge");
    r->huge_share = figure_at(pages, "huge_share", "pages.huge_share");
    if (r->huge_share > 1.0)
        refuse("pages.huge_share is not a share from 0 to 1");
    const json &fresh = member(pages, "fresh_each_pass");
    if (!fresh.is_null() && !fresh.is_boolean())
        refuse("pages.fresh_each_pass is not true or false");
    r->fresh_pages = fresh.is_boolean() && fresh.get<bool>();
    figure_if(pages, "huge_share_after", "pages.huge_share_after", &r->huge_share_after);
    if (!member(pages, "latency_huge_share").is_null())
        r->latency_huge_share = figure_at(pages, "latency_huge_share", "pages.latency_huge_share");

    const json &clock = member(j, "clock");
    r->counter_mhz = figure_at(clock, "counter_mhz", "clock.counter_mhz");
    r->factor = figure_at(clock, "factor", "clock.factor");
    if (!(r->counter_mhz > 0.0) || !(r->factor > 0.0))
        refuse("clock.counter_mhz and clock.factor must be above 0");
    if (member(clock, "cpu_mhz").is_number())
        r->cpu_mhz = figure_at(clock, "cpu_mhz", "clock.cpu_mhz");
    if (member(clock, "counter_step").is_number())
        r->counter_step = figure_at(clock, "counter_step", "clock.counter_step");

    r->command = texts_if(j, "command", "command");
    const json &seed = member(j, "seed");
    if (!seed.is_null() && !seed.is_number_unsigned())
        refuse("seed is not a whole number of 0 or more");
    r->seed = seed.is_null() ? 0 : seed.get<uint64_t>();
    figure_if(j, "seconds", "seconds", &r->seconds);
    const json &after = member(j, "after");
    figure_if(after, "other_work_cpus", "after.other_work_cpus", &r->other_work_cpus);
    figure_if(after, "cpu_mhz", "after.cpu_mhz", &r->cpu_mhz_after);
    figure_if(after, "counter_mhz", "after.counter_mhz", &r->counter_mhz_after);
    for (auto [key, out] : {std::pair<const char *, std::string *>{"checks_before", &r->checks_before},
                            {"checks_after", &r->checks_after}})
        if (!member(j, key).is_null())
            *out = member(j, key).dump();
    /* A row the writer had no figure for is null. */
    const json &rows = member(j, "largest_row_by_pass");
    if (!rows.is_null() && (!rows.is_array() || rows.size() > (size_t)max_passes ||
                            !std::all_of(rows.begin(), rows.end(),
                                         [](const json &v) { return v.is_null() || is_figure(v); })))
        refuse("largest_row_by_pass is not a list of numbers of 0 or more");
    for (const json &v : rows.is_array() ? rows : json::array())
        r->largest_row_by_pass.push_back(v.is_null() ? NAN : v.get<double>());
    figure_if(j, "latency_seconds", "latency_seconds", &r->latency_seconds);
    figure_if(j, "bandwidth_seconds", "bandwidth_seconds", &r->bandwidth_seconds);
    figure_if(j, "loaded_latency_seconds", "loaded_latency_seconds", &r->loaded_seconds);
    figure_if(j, "loaded_latency_probe_seconds", "loaded_latency_probe_seconds", &r->loaded_probe_seconds);

    text_if(j, "host", "host", &r->host);
    const json &throttled = member(j, "throttled_passes");
    if (!throttled.is_null()) {
        if (!throttled.is_array() || !std::all_of(throttled.begin(), throttled.end(), [&](const json &v) {
                return v.is_number_unsigned() && v.get<uint64_t>() >= 1 && v.get<uint64_t>() <= (uint64_t)r->passes;
            }))
            refuse("throttled_passes is not a list of pass numbers from 1 to the passes");
        for (const json &v : throttled)
            r->throttled_passes.push_back((int)v.get<uint64_t>());
    }
    /* The rated peak, where the record has one (none before it was
     * recorded): a figure above 0 with its source, or why not. */
    const json &peak = member(j, "memory");
    if (peak.is_null())
        r->rated.unknown = "the record names no rated peak";
    if (!peak.is_null()) {
        if (!peak.is_object())
            refuse("memory is not an object");
        text_if(peak, "rated_unknown", "memory.rated_unknown", &r->rated.unknown);
        text_if(peak, "kind", "memory.kind", &r->rated.kind);
        if (!member(peak, "rated_gbs").is_null()) {
            r->rated.gbs = figure_at(peak, "rated_gbs", "memory.rated_gbs");
            if (!(r->rated.gbs > 0.0))
                refuse("memory.rated_gbs is not a figure above 0");
            text_if(peak, "rated_source", "memory.rated_source", &r->rated.source);
            r->rated.unknown.clear();
        }
    }

    const json &warnings = member(j, "warnings");
    if (!warnings.is_array() ||
        !std::all_of(warnings.begin(), warnings.end(), [](const json &w) { return w.is_string(); }))
        refuse(missing_or(warnings, "warnings", "a list of text"));
    r->warnings = warnings.get<std::vector<std::string>>();

    const json &drift = member(j, "drift");
    if (!drift.is_array())
        refuse(missing_or(drift, "drift", "a list of {seconds, gbs}"));
    for (const json &d : drift) {
        DriftReading reading;
        reading.gbs = figure_at(d, "gbs", "a drift reading's gbs");
        if (member(d, "seconds").is_number())
            reading.seconds = figure_at(d, "seconds", "a drift reading's seconds");
        r->drift.push_back(reading);
    }
}

/* read_conditions reads what the checks before the session found of the
 * machine's settings: governors, turbo and caches.  Each is optional; what
 * is there must be of its kind. */
static void read_conditions(const json &j, Record *r)
{
    const json &checks = member(member(j, "checks_before"), "checks");
    const json &scaling = member(checks, "frequency_scaling");
    const json &governors = member(scaling, "governors");
    if (!governors.is_null()) {
        if (!governors.is_object())
            refuse("checks_before.checks.frequency_scaling.governors is not counts by governor");
        for (auto it = governors.begin(); it != governors.end(); ++it) {
            uint64_t n = 0;
            if (!whole(it.value(), 1 << 30, &n))
                refuse("checks_before.checks.frequency_scaling.governors is not counts by governor");
            r->governors += (r->governors.empty() ? "" : ", ") + it.key() + " on " + std::to_string(n);
        }
    }
    const json &turbo = member(scaling, "turbo");
    if (!turbo.is_null())
        r->turbo = text_at(scaling, "turbo", "checks_before.checks.frequency_scaling.turbo");
    const json &caches = member(member(checks, "caches"), "cpu0");
    if (caches.is_null())
        return;
    if (!caches.is_array())
        refuse("checks_before.checks.caches.cpu0 is not a list of {level, type, size_bytes}");
    for (const json &c : caches) {
        uint64_t level = whole_at(c, "level", "a cache's level", 9);
        std::string type = text_at(c, "type", "a cache's type");
        uint64_t size = whole_at(c, "size_bytes", "a cache's size_bytes", 1e15);
        if (type == "Instruction")
            continue;
        r->caches.push_back({memsweep::cache_name((int)level, type), size});
    }
}

/* read_loaded reads the loaded latency's list, where the record has one:
 * the idle point (kernel and delay null, load 0) first and once, then
 * points of a named kernel and a delay, each (kernel, delay) once. */
static void read_loaded(const json &j, Record *r)
{
    const json &loaded = member(j, "loaded_latency");
    if (loaded.is_null())
        return;
    if (!loaded.is_array())
        refuse("loaded_latency is not a list");
    std::set<std::pair<std::string, uint64_t>> seen;
    for (size_t i = 0; i < loaded.size(); i++) {
        std::string what = "loaded_latency entry " + std::to_string(i + 1);
        const json &entry = loaded[i];
        LoadedLatencyPoint p;
        bool idle = member(entry, "kernel").is_null() && member(entry, "delay").is_null();
        if (idle != (i == 0))
            refuse(i == 0 ? "loaded_latency does not begin with its idle point (kernel and delay null)"
                          : what + " has no kernel or no delay, as only the first, idle, point may");
        if (!idle) {
            p.kernel = text_at(entry, "kernel", what + "'s kernel");
            if (p.kernel.empty() || p.kernel.size() > max_name || p.kernel == "idle")
                refuse(what + " has no kernel's name, one longer than " + std::to_string(max_name) + ", or \"idle\"");
            p.delay = whole_at(entry, "delay", what + "'s delay", 1e15);
        }
        p.load_gbs = figure_at(entry, "load_gbs", what + "'s load_gbs");
        if (idle && p.load_gbs != 0.0)
            refuse(what + ", the idle point, has a load above 0");
        if (!seen.insert({p.kernel, p.delay}).second)
            refuse("two loaded_latency entries have the same kernel and delay");
        p.ns = passes_at(entry, what, r->passes, false);
        p.load_passes = figures_if(entry, "load_passes", what + "'s load_passes");
        r->loaded.push_back(p);
    }
}

static void read_points(const json &j, Record *r)
{
    const json &cells = member(j, "cells");
    if (!cells.is_array())
        refuse(missing_or(cells, "cells", "a list"));
    if (cells.size() != (size_t)grid_cells)
        refuse("it has " + std::to_string(cells.size()) + " cells, where a record has " +
               std::to_string(grid_cells));
    std::set<std::pair<int, int>> seen;
    for (size_t i = 0; i < cells.size(); i++) {
        std::string what = "cell " + std::to_string(i + 1);
        CellPoint c;
        uint64_t label = whole_at(cells[i], "label", what + "'s label", 14);
        uint64_t stride = whole_at(cells[i], "stride", what + "'s stride", 15);
        if (label < 1 || stride < 1)
            refuse(what + " has no label from 1 to 14 and stride from 1 to 15");
        c.label = (int)label;
        c.stride = (int)stride;
        if (!seen.insert({c.label, c.stride}).second)
            refuse("two of its cells have the same label and stride");
        c.gbs = passes_at(cells[i], what, r->passes, true);
        r->cells.push_back(c);
    }

    /* A record made with --no-latency has an empty list; an early one none. */
    const json &latency = member(j, "latency");
    if (!latency.is_null() && !latency.is_array())
        refuse("latency is not a list");
    for (size_t i = 0; latency.is_array() && i < latency.size(); i++) {
        std::string what = "latency entry " + std::to_string(i + 1);
        LatencyPoint p;
        p.bytes = whole_at(latency[i], "bytes", what + "'s bytes", 1e15);
        if (p.bytes == 0 || (!r->latency.empty() && p.bytes <= r->latency.back().bytes))
            refuse("the latency sizes do not ascend, each once");
        p.ns = passes_at(latency[i], what, r->passes, true);
        r->latency.push_back(p);
    }

    read_loaded(j, r);

    /* The bandwidth plane, where the record has one. */
    const json &plane = member(j, "bandwidth_plane");
    if (!plane.is_null()) {
        if (!plane.is_object())
            refuse("bandwidth_plane is not an object");
        r->has_plane = true;
        text_if(plane, "timer", "bandwidth_plane.timer", &r->plane.timer);
        text_if(plane, "timer_note", "bandwidth_plane.timer_note", &r->plane.timer_note);
        text_if(plane, "ended", "bandwidth_plane.ended", &r->plane.ended);
        r->plane.notes = texts_if(plane, "notes", "bandwidth_plane.notes");
        const json &threads = member(plane, "threads");
        const json &cpus = member(plane, "cpus");
        try {
            if (!threads.is_null())
                r->plane.threads = threads.get<std::vector<int>>();
            if (!cpus.is_null())
                r->plane.cpus = cpus.get<std::vector<std::vector<int>>>();
        } catch (const json::exception &) {
            refuse("bandwidth_plane.threads or .cpus is not lists of whole numbers");
        }
    }
    const json &bandwidth = member(j, "bandwidth");
    if (bandwidth.is_null())
        return;
    if (!bandwidth.is_array())
        refuse("bandwidth is not a list");
    r->has_bandwidth = true;
    std::set<std::tuple<std::string, int, uint64_t>> points;
    for (size_t i = 0; i < bandwidth.size(); i++) {
        std::string what = "bandwidth entry " + std::to_string(i + 1);
        BandwidthPoint p;
        p.kernel = text_at(bandwidth[i], "kernel", what + "'s kernel");
        p.isa = text_at(bandwidth[i], "isa", what + "'s isa");
        if (p.kernel.empty() || p.kernel.size() > max_name || p.isa.size() > max_name)
            refuse(what + " has no kernel's name, or one longer than " + std::to_string(max_name));
        p.threads = (int)whole_at(bandwidth[i], "threads", what + "'s threads", 1 << 20);
        p.bytes = whole_at(bandwidth[i], "bytes", what + "'s bytes", 1e15);
        if (p.threads < 1 || p.bytes == 0)
            refuse(what + " has no threads or no bytes");
        if (!points.insert({p.kernel, p.threads, p.bytes}).second)
            refuse("two bandwidth entries have the same kernel, threads and bytes");
        p.gbs = passes_at(bandwidth[i], what, r->passes, false);
        r->bandwidth.push_back(p);
    }
}

bool read_record(const std::string &text, Record *r, std::string *error)
{
    *r = Record();
    Shape shape = shape_of(text);
    if (shape.depth > max_depth) {
        *error = "JSON nested deeper than any record (more than " + std::to_string(max_depth) + " levels)";
        return false;
    }
    /* Parsed, each object takes some hundred bytes: a text of nothing but
     * objects would take gigabytes. */
    if (shape.objects > max_objects) {
        *error = "JSON of more objects than any record holds (more than " + std::to_string(max_objects) + ")";
        return false;
    }
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error &e) {
        /* The parser stops at the end of the text when a record was cut
         * short, and somewhere inside when it is no JSON. */
        bool at_end = e.byte >= text.size() || strstr(e.what(), "unexpected end of input") != nullptr;
        *error = at_end ? "truncated: the JSON ends before the record does"
                        : "not valid JSON (at byte " + std::to_string(e.byte) + ")";
        return false;
    } catch (const json::exception &) {
        /* A number beyond a double's range, as 1e999. */
        *error = "not valid JSON (a number out of range)";
        return false;
    }
    try {
        if (!j.is_object())
            refuse("JSON, but not a memsweep record (not an object)");
        const json &named = member(j, "format");
        if (!named.is_string() || named.get<std::string>() != name)
            refuse(std::string("JSON, but not a memsweep record (no format \"") + name + "\")");
        const json &v = member(j, "format_version");
        uint64_t written = 0;
        if (!whole(v, 1e9, &written) || written != (uint64_t)version)
            refuse("a memsweep record of format version " + shown_line(v.dump(), 20) +
                   "; this reader reads version " + std::to_string(version));
        read_identity(j, r);
        read_conditions(j, r);
        read_points(j, r);
    } catch (const Refusal &refusal) {
        *error = one_line(refusal.line);
        *r = Record();
        return false;
    } catch (const json::exception &e) {
        /* A kind the checks above let through by mistake. */
        *error = std::string("not a record the reader understands: ") + e.what();
        *r = Record();
        return false;
    }
    return true;
}

/* ====================== Tables ====================== */

bool read_table(const std::string &text, Record *r, std::string *error)
{
    *r = Record();
    r->is_table = true;
    r->passes = 1;
    std::istringstream in(text);
    std::string line;
    std::set<std::pair<int, int>> seen;
    for (int number = 1; std::getline(in, line); number++) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word && w.size() < 4)
            w.push_back(word);
        std::string where = "line " + std::to_string(number) + ": ";
        if (w.size() != 3) {
            *error = where + "not a memsweep record or table (a table's lines are label, stride and GB/s)";
            return false;
        }
        json label = json::parse(w[0], nullptr, false);
        json stride = json::parse(w[1], nullptr, false);
        json gbs = json::parse(w[2], nullptr, false);
        uint64_t l = 0;
        uint64_t s = 0;
        if (!whole(label, 14, &l) || l < 1 || !whole(stride, 15, &s) || s < 1 || !is_figure(gbs) ||
            w[0].find_first_not_of("0123456789") != std::string::npos ||
            w[1].find_first_not_of("0123456789") != std::string::npos) {
            *error = where + "not a table's line: a label from 1 to 14, a stride from 1 to 15 and GB/s";
            return false;
        }
        if (!seen.insert({(int)l, (int)s}).second) {
            *error = where + "label " + w[0] + " and stride " + w[1] + " appear twice";
            return false;
        }
        r->cells.push_back({(int)l, (int)s, figures_of({gbs.get<double>()})});
    }
    if (r->cells.empty()) {
        *error = "empty: no table or record in it";
        return false;
    }
    return true;
}

bool read_input(const std::string &text, Record *r, std::string *error)
{
    /* A byte order mark, as some editors begin UTF-8 with, is no part of
     * the record or the table. */
    static const char bom[] = "\xef\xbb\xbf";
    if (text.compare(0, 3, bom) == 0)
        return read_input(text.substr(3), r, error);
    size_t first = text.find_first_not_of(" \t\r\n\f\v");
    if (first != std::string::npos && (text[first] == '{' || text[first] == '['))
        return read_record(text, r, error);
    return read_table(text, r, error);
}

bool read_file(const std::string &path, Record *r, std::string *error)
{
    *r = Record();
    error->clear();
    bool from_stdin = path == "-";
    int fd = from_stdin ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("can't read it: ") + strerror(errno);
        return false;
    }
    /* Whatever stands in for it, standard input is said to be what it is,
     * not empty. */
    struct stat st {
    };
    std::string text;
    if (fstat(fd, &st) != 0) {
        *error = errno == EBADF ? "closed, not a record or a table" : std::string("can't read it: ") + strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *error = "a folder, not a record or a table";
    } else {
        char block[65536];
        for (;;) {
            ssize_t n = read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *error = std::string("can't read it: ") + strerror(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(block, (size_t)n);
            if (text.size() > max_record_bytes) {
                *error = "larger than any record (more than " + std::to_string(max_record_bytes >> 20) + " MiB)";
                break;
            }
        }
    }
    if (!from_stdin)
        close(fd);
    if (!error->empty())
        return false;
    return read_input(text, r, error);
}

}  // namespace format
