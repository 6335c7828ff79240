// SPDX-License-Identifier: MIT
/*
 * picture.cpp -- the picture decided: grid, caption, marks, curves, layout
 * and report, from the inputs and memsweep-compare's judgement.
 */
#include "plot/picture.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <set>

#include "common/shown.h"
#include "common/text.h"
#include "latency/knee.h"

namespace plot
{

using compare::Comparison;
using compare::Kind;
using compare::Point;
using compare::Verdict;
using format::Record;
using memsweep::fixed;

/* The labels' sizes: label L is 2^(L + 13) bytes. */
static const char *const size_names[] = {"16K", "32K", "64K", "128K", "256K", "512K", "1M",
                                         "2M",  "4M",  "8M",  "16M",  "32M",  "64M",  "128M"};

const char *const bandwidth_kernels[6] = {"vector-read", "scalar-read", "write", "copy", "nt-write", "zero"};
const char *const loaded_kernels[2] = {"vector-read", "copy"};

static const char blue[] = "#2166ac";
static const char purple[] = "#7b3294";

/* ====================== The grid ====================== */

/* run_of checks that a set of values runs without gaps and has two or
 * more; "" when it does. */
static std::string run_of(const std::set<int> &values, const char *what)
{
    if (*values.rbegin() - *values.begin() + 1 != (int)values.size())
        return std::string("the ") + what + " " + std::to_string(*values.begin()) + " to " +
               std::to_string(*values.rbegin()) + " have gaps";
    return "";
}

std::string grid_of(const Record &r, Grid *g)
{
    std::set<int> labels;
    std::set<int> strides;
    for (const format::CellPoint &c : r.cells) {
        labels.insert(c.label);
        strides.insert(c.stride);
    }
    if (labels.empty())
        return "no cells in it";
    std::string gap = run_of(labels, "labels");
    if (gap.empty())
        gap = run_of(strides, "strides");
    if (!gap.empty())
        return gap;
    size_t need = labels.size() * strides.size();
    if (r.cells.size() != need)
        return std::to_string(r.cells.size()) + " cells, but " + std::to_string(labels.size()) + " sizes by " +
               std::to_string(strides.size()) + " strides need " + std::to_string(need);
    if (labels.size() < 2 || strides.size() < 2)
        return "needs at least two sizes and two strides, has " + std::to_string(labels.size()) + " by " +
               std::to_string(strides.size());
    *g = {*labels.begin(), *labels.rbegin(), *strides.begin(), *strides.rbegin()};
    return "";
}

/* size_name names a label's working set. */
static std::string size_name(int label)
{
    return label >= 1 && label <= 14 ? std::string(size_names[label - 1]) : "label " + std::to_string(label);
}

std::string describe(const Grid &g)
{
    return "sizes " + size_name(g.min_label) + " to " + size_name(g.max_label) + " and strides " +
           std::to_string(g.min_stride) + " to " + std::to_string(g.max_stride);
}

static bool operator==(const Grid &a, const Grid &b)
{
    return a.min_label == b.min_label && a.max_label == b.max_label && a.min_stride == b.min_stride &&
           a.max_stride == b.max_stride;
}

/* cells_of returns one input's cells, labels up and strides up, each
 * flagged where its passes spread too far to trust. */
static std::vector<Cell> cells_of(const Record &r)
{
    std::vector<Cell> cells;
    for (const format::CellPoint &c : r.cells) {
        const format::Figures &f = c.gbs;
        bool wide = f.max > f.min && (f.median <= 0.0 || (f.max - f.min) / f.median > wide_spread);
        cells.push_back({c.label, c.stride, f.median, wide ? 1 : 0, ""});
    }
    std::sort(cells.begin(), cells.end(), [](const Cell &a, const Cell &b) {
        return a.label != b.label ? a.label < b.label : a.stride < b.stride;
    });
    return cells;
}

double colour_top(const std::vector<Cell> &cells)
{
    double top = 0.0;
    for (const Cell &c : cells)
        if (isfinite(c.value))
            top = std::max(top, c.value);
    return top > 0.0 ? top : 1.0;
}

double ratio_top(const std::vector<double> &ratios)
{
    double top = 1.05;
    for (double r : ratios)
        if (isfinite(r) && r > 0.0)
            top = std::max(top, r < 1.0 ? 1.0 / r : r);
    return isfinite(top) ? top : 1.05;
}

/* ====================== Caches ====================== */

/* size_of shows a size in whole M or K where it is one: "48K", "1M". */
static std::string size_of(uint64_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + "M";
    if (bytes % 1024 == 0)
        return std::to_string(bytes >> 10) + "K";
    return std::to_string(bytes);
}

std::vector<CacheMark> cache_marks(const std::vector<format::CacheSize> &caches)
{
    std::vector<CacheMark> marks;
    for (const format::CacheSize &c : caches) {
        if (c.bytes == 0 || marks.size() == most_marks)
            continue;
        /* A cache of C bytes holds the sets up to 2^p <= C: its mark stands
         * between that label, p - 13, and the next. */
        int p = 0;
        while (p < 63 && (uint64_t(1) << (p + 1)) <= c.bytes)
            p++;
        marks.push_back({p - 13 + 0.5, shown_line(c.name, 16), size_of(c.bytes), c.bytes});
    }
    return marks;
}

std::string cache_list(const std::vector<format::CacheSize> &caches)
{
    std::string list;
    for (const CacheMark &m : cache_marks(caches))
        list += (list.empty() ? "" : ", ") + m.name + " " + m.size;
    return list;
}

static bool same_caches(const std::vector<format::CacheSize> &a, const std::vector<format::CacheSize> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const format::CacheSize &x, const format::CacheSize &y) {
        return x.name == y.name && x.bytes == y.bytes;
    });
}

/* ====================== Curves ====================== */

int point_of(Verdict v)
{
    return v == Verdict::same ? open_point : v == Verdict::unknown ? cross : filled;
}

/* kernel_place is a kernel's place among the bandwidth panel's; -1 for
 * one it doesn't draw. */
static int kernel_place(const std::string &kernel)
{
    for (int k = 0; k < 6; k++)
        if (kernel == bandwidth_kernels[k])
            return k;
    return -1;
}

/* A bandwidth point as the panel draws it: kernel, threads, set, figure
 * and point type. */
struct Drawn {
    std::string kernel;
    int threads;
    uint64_t bytes;
    double y, low, high;
    int point;
};

/* curves_of makes the panel's curves of its points: vector-read at every
 * thread count, the other kernels at 1 thread and at their most. */
static std::vector<Curve> curves_of(std::vector<Drawn> drawn)
{
    static const char *const blues[] = {"#08306b", "#2171b5", "#6baed6", "#4a1486", "#807dba", "#bcbddc"};
    static const char *const others[] = {"#e08214", "#1b7837", "#762a83", "#b2182b", "#4d4d4d"};
    std::stable_sort(drawn.begin(), drawn.end(), [](const Drawn &a, const Drawn &b) { return a.bytes < b.bytes; });
    std::map<std::pair<int, int>, Curve> by;  // (kernel's place, threads)
    std::map<int, int> most;
    for (const Drawn &d : drawn) {
        int k = kernel_place(d.kernel);
        if (k < 0)
            continue;
        most[k] = std::max(most[k], d.threads);
        by[{k, d.threads}].rows.push_back({(double)d.bytes, d.y, d.low, d.high, d.point});
    }
    std::vector<Curve> curves;
    for (auto &entry : by) {
        int k = entry.first.first;
        int threads = entry.first.second;
        if (k > 0 && threads != 1 && threads != most[k])
            continue;
        Curve &c = entry.second;
        c.title = std::string(bandwidth_kernels[k]) + ", " + memsweep::count_text((uint64_t)threads, "thread");
        c.colour = k == 0 ? blues[curves.size() % 6] : others[k - 1];
        c.dash = k > 0 && threads > 1 ? 2 : 1;
        curves.push_back(c);
    }
    return curves;
}

std::vector<Curve> bandwidth_curves(const Record &r)
{
    std::vector<Drawn> drawn(r.bandwidth.size());
    std::transform(r.bandwidth.begin(), r.bandwidth.end(), drawn.begin(), [](const format::BandwidthPoint &b) {
        return Drawn{b.kernel, b.threads, b.bytes, b.gbs.median, b.gbs.min, b.gbs.max, filled};
    });
    return curves_of(drawn);
}

std::vector<Curve> bandwidth_curves(const Comparison &c)
{
    std::vector<Drawn> drawn;
    for (const Point &p : c.points)
        if (p.kind == Kind::bandwidth && isfinite(p.ratio))
            drawn.push_back({p.kernel, p.threads, p.bytes, p.ratio, p.ratio, p.ratio, point_of(p.verdict)});
    return curves_of(drawn);
}

std::string plateau_text(const Record &r)
{
    const format::BandwidthPoint *fewest = nullptr;
    const format::BandwidthPoint *most = nullptr;
    for (const format::BandwidthPoint &b : r.bandwidth) {
        if (b.kernel != bandwidth_kernels[0] || b.gbs.passes.empty())
            continue;
        auto before = [&](const format::BandwidthPoint *x, bool fewer) {
            return x == nullptr || (fewer ? b.threads < x->threads : b.threads > x->threads) ||
                   (b.threads == x->threads && b.bytes > x->bytes);
        };
        if (before(fewest, true))
            fewest = &b;
        if (before(most, false))
            most = &b;
    }
    if (fewest == nullptr)
        return "";
    uint64_t largest_cache = std::accumulate(r.caches.begin(), r.caches.end(), uint64_t(0),
                                             [](uint64_t largest, const format::CacheSize &c) {
                                                 return std::max(largest, c.bytes);
                                             });
    bool memory = largest_cache > 0 && fewest->bytes > largest_cache && most->bytes > largest_cache;
    std::string text = std::string(memory ? "memory" : "largest sets") + ": " +
                       memsweep::gbs_text(fewest->gbs.median) + " GB/s on " +
                       memsweep::count_text((uint64_t)fewest->threads, "thread");
    if (most->threads != fewest->threads)
        text += ", " + memsweep::gbs_text(most->gbs.median) + " on " + std::to_string(most->threads);
    return text;
}

std::vector<Curve> loaded_curves(const Record &r, const std::string &prefix, const std::string &colour,
                                 const std::vector<int> *points, std::vector<Knee> *knees)
{
    std::vector<Curve> curves;
    auto point = [&](size_t i) { return points != nullptr && i < points->size() ? (*points)[i] : filled; };
    size_t idle = r.loaded.size();
    for (size_t i = 0; i < r.loaded.size(); i++)
        if (r.loaded[i].delay == format::idle_delay)
            idle = i;
    if (idle == r.loaded.size())
        return curves;
    const format::Figures &at_rest = r.loaded[idle].ns;
    for (int k = 0; k < 2; k++) {
        Curve c;
        c.title = prefix + loaded_kernels[k];
        c.colour = colour;
        c.dash = k + 1;
        std::vector<size_t> order;
        for (size_t i = 0; i < r.loaded.size(); i++)
            if (r.loaded[i].delay != format::idle_delay && r.loaded[i].kernel == loaded_kernels[k])
                order.push_back(i);
        if (order.empty())
            continue;
        /* In order of load, as the curve climbs: under a noisy load the
         * delays' order zigzags. */
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return r.loaded[a].load_gbs < r.loaded[b].load_gbs; });
        c.rows.push_back({0.0, at_rest.median, at_rest.min, at_rest.max, point(idle)});
        for (size_t i : order) {
            const format::LoadedLatencyPoint &p = r.loaded[i];
            c.rows.push_back({p.load_gbs, p.ns.median, p.ns.min, p.ns.max, point(i)});
        }
        curves.push_back(c);
        latency::Knee knee = latency::knee_of(latency::curve_of(r.loaded, loaded_kernels[k]));
        if (knee.found && knee.clear)
            knees->push_back({knee.gbs, 2.0 * at_rest.median});
    }
    return curves;
}

void loaded_points(const Record &a, const Record &b, const Comparison &c, std::vector<int> *of_a,
                   std::vector<int> *of_b)
{
    std::vector<Point> in_a = compare::points_of(a);
    std::vector<Point> in_b = compare::points_of(b);
    std::vector<int> matched = compare::match_points(in_a, in_b);
    /* The loaded points come last in points_of, in the record's order. */
    size_t first_a = in_a.size() - a.loaded.size();
    size_t first_b = in_b.size() - b.loaded.size();
    of_a->assign(a.loaded.size(), cross);
    of_b->assign(b.loaded.size(), cross);
    size_t judged = 0;
    for (size_t i = 0; i < in_a.size(); i++) {
        if (matched[i] < 0)
            continue;
        const Point &p = c.points[judged++];
        if (i < first_a)
            continue;
        (*of_a)[i - first_a] = point_of(p.verdict);
        (*of_b)[(size_t)matched[i] - first_b] = point_of(p.verdict);
    }
}

Curve latency_curve(const Record &r, const std::string &title, const std::string &colour)
{
    Curve c;
    c.title = title;
    c.colour = colour;
    for (const format::LatencyPoint &l : r.latency)
        c.rows.push_back({(double)l.bytes, l.ns.median, l.ns.min, l.ns.max, filled});
    return c;
}

/* ====================== Layout ====================== */

bool legend_outside(size_t entries)
{
    return entries > legend_inside;
}

Layout layout_of(int panels, int caption_lines)
{
    Layout l;
    l.columns = panels <= 3 ? std::max(panels, 1) : panels == 4 ? 2 : 3;
    l.rows = (std::max(panels, 1) + l.columns - 1) / l.columns;
    l.width = l.columns * panel_width;
    /* The title and each caption line take a line of text, 22 pixels. */
    l.height = l.rows * panel_height + 60 + 22 * caption_lines;
    return l;
}

/* ====================== The picture ====================== */

static std::string model_of(const Record &r)
{
    return r.model.empty() ? std::string("an unknown CPU") : r.model;
}

static std::string plural(int n, const std::string &one, const std::string &many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/* one_caption says how one record was made, and what of it not to trust. */
static void one_caption(const Record &r, Picture *p)
{
    std::string first = plural(r.passes, "pass", "passes") + " on CPU " + std::to_string(r.cpu) + "; pages " +
                        r.pages + ", " + fixed(r.huge_share * 100.0, 0) + " % on huge pages; counter " +
                        fixed(r.counter_mhz, 3) + " MHz";
    /* The clock's factor is what memsweep's own figures are off by. */
    if (fixed(r.factor, 3) != "1.000")
        first += ", cpu MHz factor " + fixed(r.factor, 3);
    p->caption.push_back(first);
    int wide = (int)std::count_if(p->cells.begin(), p->cells.end(), [](const Cell &c) { return c.flag == 1; });
    std::string second = r.passes == 1 ? "one pass: no spread"
                         : wide == 0   ? "no cell's passes spread by more than 5 %"
                                       : "hatched: " + plural(wide, "cell", "cells") +
                                           " whose passes spread by more than 5 %";
    if (!r.warnings.empty())
        second += "; " + plural((int)r.warnings.size(), "warning", "warnings") + " in the record (on standard error)";
    p->caption.push_back(second);
    for (const std::string &w : r.warnings)
        p->notes.push_back("warning in the record: " + w);
}

/* side_by_side is one line of the two machines' table. */
static std::string side_by_side(size_t width, const std::string &what, const std::string &a, const std::string &b)
{
    char line[1024];
    snprintf(line, sizeof line, "  %-8s %-*s  %s", what.c_str(), (int)width, a.c_str(), b.c_str());
    return line;
}

/* two_machines sets two records' machines side by side, for standard
 * error. */
static void two_machines(const Record &a, const Record &b, Picture *p)
{
    auto memory = [](const Record &r) {
        return r.memory_mib >= 0.0 ? fixed(r.memory_mib, 0) + " MiB" : std::string("unknown");
    };
    auto caches = [](const Record &r) {
        std::string list = cache_list(r.caches);
        return list.empty() ? std::string("none listed") : list;
    };
    std::string rate_a = fixed(a.counter_mhz, 3) + " MHz";
    std::string rate_b = fixed(b.counter_mhz, 3) + " MHz";
    std::string model_a = shown_line(model_of(a), 80);
    size_t width = std::max({model_a.size(), caches(a).size(), rate_a.size(), memory(a).size()});
    p->notes.push_back("two machines:");
    p->notes.push_back(side_by_side(width, "", "A", "B"));
    p->notes.push_back(side_by_side(width, "CPU", model_a, shown_line(model_of(b), 80)));
    p->notes.push_back(side_by_side(width, "caches", caches(a), caches(b)));
    p->notes.push_back(side_by_side(width, "counter", rate_a, rate_b));
    p->notes.push_back(side_by_side(width, "memory", memory(a), memory(b)));
}

/* shortest formats a number in as few digits as it takes. */
static std::string shortest(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

/* two_inputs fills the ratio map, the report and the caption of two
 * inputs from their comparison. */
static void two_inputs(const Inputs &in, const Comparison &c, bool records, Picture *p)
{
    const Record &a = in.records[0];
    const Record &b = in.records[1];
    std::vector<double> coloured;
    for (const Point &q : c.points) {
        if (q.kind != Kind::cell)
            continue;
        bool same = q.verdict == Verdict::same;
        std::string text = same ? "=" : isfinite(q.ratio) ? fixed(q.ratio, 2) : "";
        p->cells.push_back({q.label, q.stride, same ? 1.0 : q.ratio, same ? 1 : 0, text});
        if (!same)
            coloured.push_back(q.ratio);
    }
    std::sort(p->cells.begin(), p->cells.end(), [](const Cell &x, const Cell &y) {
        return x.label != y.label ? x.label < y.label : x.stride < y.stride;
    });
    p->scale = ratio_top(coloured);
    int told = compare::count(c, Verdict::faster) + compare::count(c, Verdict::slower) +
               compare::count(c, Verdict::same);
    if (!records) {
        /* A table is one pass, which has no spread: beside one, every cell
         * is unknown, and the report is the cells' alone. */
        int n = 0;
        for (const Point &q : c.points)
            if (q.kind == Kind::cell) {
                p->report += std::to_string(q.label) + "\t" + std::to_string(q.stride) + "\t" +
                             (isfinite(q.ratio) ? fixed(q.ratio, 3) : std::string("NaN")) + "\tunknown\n";
                n++;
            }
        p->report += "unknown " + std::to_string(n) +
                     ": one pass has no spread, so no cell is called faster, slower or the same\n";
        p->caption.push_back("one pass has no spread: no cell is called faster, slower or the same");
        return;
    }
    for (const Point &q : c.points) {
        std::string line = compare::point_line(q);
        p->report += (q.kind == Kind::cell ? line.substr(line.find('\t') + 1) : line) + "\n";
    }
    p->report += shown_line(compare::summary(c, in.settings)) + "\n";
    if (told == 0)
        p->caption.push_back(a.passes > 1 && b.passes > 1
                                 ? "too few passes for the test: no cell is called faster, slower or the same"
                                 : "one pass has no spread: no cell is called faster, slower or the same");
    else
        p->caption.push_back(
            "coloured where memsweep-compare tells B from A (a U test over the passes, alpha " +
            shortest(in.settings.alpha) + ", threshold " + fixed(in.settings.threshold * 100.0, 1) + " %" +
            (c.threshold != in.settings.threshold ? " widened to " + fixed(c.threshold * 100.0, 1) + " %" : "") +
            "); \"=\": the same");
    /* What differs of the conditions: a caption line and a note each. */
    std::vector<std::string> differ = c.differences;
    differ.insert(differ.end(), c.conditions.begin(), c.conditions.end());
    for (const std::string &d : differ) {
        p->caption.push_back(d);
        p->notes.push_back(d);
    }
    for (const std::string &w : a.warnings)
        p->notes.push_back("warning in A: " + w);
    for (const std::string &w : b.warnings)
        p->notes.push_back("warning in B: " + w);
    if (compare::machines_differ(a, b))
        two_machines(a, b, p);
}

/* panels_of fills the curve panels of records: latency, bandwidth and the
 * loaded latency, where they have points. */
static void panels_of(const Inputs &in, const Comparison &c, Picture *p)
{
    const Record &a = in.records[0];
    if (!p->two) {
        if (!a.latency.empty())
            p->latency.push_back(latency_curve(a, "median over the passes", blue));
        p->bandwidth = bandwidth_curves(a);
        p->plateau = plateau_text(a);
        p->loaded = loaded_curves(a, "", blue, nullptr, &p->knees);
    } else {
        const Record &b = in.records[1];
        if (!a.latency.empty())
            p->latency.push_back(latency_curve(a, "A: " + in.names[0], blue));
        if (!b.latency.empty())
            p->latency.push_back(latency_curve(b, "B: " + in.names[1], purple));
        p->bandwidth = bandwidth_curves(c);
        std::vector<double> ratios;
        for (const Curve &curve : p->bandwidth)
            std::transform(curve.rows.begin(), curve.rows.end(), std::back_inserter(ratios),
                           [](const Row &r) { return r.y; });
        p->bandwidth_scale = ratio_top(ratios);
        std::vector<int> of_a;
        std::vector<int> of_b;
        loaded_points(a, b, c, &of_a, &of_b);
        p->loaded = loaded_curves(a, "A: ", blue, &of_a, &p->knees);
        std::vector<Curve> more = loaded_curves(b, "B: ", purple, &of_b, &p->knees);
        p->loaded.insert(p->loaded.end(), more.begin(), more.end());
    }
    p->bandwidth_key_outside = legend_outside(p->bandwidth.size());
    p->loaded_key_outside = legend_outside(p->loaded.size() + (p->knees.empty() ? 0 : 1));
}

std::string picture_of(const Inputs &in, Picture *p)
{
    *p = Picture();
    p->two = in.records.size() == 2;
    for (size_t i = 0; i < in.records.size(); i++) {
        Grid g;
        std::string why = grid_of(in.records[i], &g);
        if (!why.empty())
            return in.names[i] + ": " + why;
        if (i == 0)
            p->grid = g;
        else if (!(g == p->grid))
            return "the two inputs differ in shape: " + in.names[0] + " has " + describe(p->grid) + ", " +
                   in.names[1] + " has " + describe(g);
    }
    const Record &a = in.records[0];
    bool records = !a.is_table && (!p->two || !in.records[1].is_table);
    Comparison c;
    if (p->two) {
        compare::Settings s = in.settings;
        s.across_machines = true;
        c = compare::compare_records(a, in.records[1], s);
        if (!c.refusal.empty())
            return c.refusal;
        p->heading = in.names[1] + " / " + in.names[0] + ": throughput ratio per cell";
        two_inputs(in, c, records, p);
    } else {
        p->cells = cells_of(a);
        p->scale = colour_top(p->cells);
        if (!a.is_table)
            one_caption(a, p);
    }
    if (records)
        panels_of(in, c, p);

    /* The title: the records' CPU models, else this machine's. */
    p->title = in.title;
    if (p->title.empty() && records && !p->two)
        p->title = "memsweep on " + model_of(a) + (a.start.empty() ? "" : ", " + a.start);
    else if (p->title.empty() && records)
        p->title = "memsweep on " + model_of(a) +
                   (a.model != in.records[1].model ? " and " + model_of(in.records[1]) : "");
    else if (p->title.empty())
        p->title = in.machine_title;

    /* The caches: those -c names; else the records' own (for two, where
     * their lists agree); else this machine's. */
    std::vector<format::CacheSize> caches = in.caches;
    if (!in.caches_named && records)
        caches = !p->two || same_caches(in.records[1].caches, a.caches) ? a.caches : std::vector<format::CacheSize>();
    for (const CacheMark &m : cache_marks(caches))
        p->marks.push_back(m);

    p->panels = (p->two ? 1 : 2) + (p->latency.empty() ? 0 : 1) + (p->bandwidth.empty() ? 0 : 1) +
                (p->loaded.empty() ? 0 : 1);
    p->layout = layout_of(p->panels, (int)p->caption.size() + (p->two ? 1 : 0));
    return "";
}

}  // namespace plot
