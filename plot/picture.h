// SPDX-License-Identifier: MIT
/*
 * picture.h -- what memsweep-plot draws, decided before anything is drawn:
 * the panels and their layout, the title and the caption, the cache marks,
 * the colour scale, each curve with its points, the report for standard
 * output and the notes for standard error.  Pure functions of the inputs
 * as format/'s reader reads them and of memsweep-compare's judgement of
 * two; gnuplot.h turns a Picture into gnuplot's data and runs it.
 */
#ifndef MEMSWEEP_PLOT_PICTURE_H
#define MEMSWEEP_PLOT_PICTURE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "compare/compare.h"
#include "format/model.h"

namespace plot
{

/* ====================== The grid ====================== */

/* The labels and strides an input's cells span: every pair of them once. */
struct Grid {
    int min_label = 0, max_label = 0, min_stride = 0, max_stride = 0;
};

/* grid_of finds the grid of an input's cells; "" when they make a full
 * one, of at least two sizes and two strides, each a run without gaps,
 * else why not, as a phrase. */
std::string grid_of(const format::Record &r, Grid *g);

/* describe says a grid in words: "sizes 16K to 128M and strides 1 to 15"
 * (a label beyond memsweep's 1 to 14 by its number). */
std::string describe(const Grid &g);

/* A cell's whereabouts in the grid, and what is drawn of it: its figure
 * (GB/s, or B / A), a flag (1: its passes spread too far to trust; for two
 * inputs, 1: the same in both, drawn as a ratio of 1) and its label on the
 * ratio map ("=", the ratio, or "" for none). */
struct Cell {
    int label = 0, stride = 0;
    double value = 0.0;
    int flag = 0;
    std::string text;
};

/* A cell whose passes spread by more than this share of their median is
 * not to be trusted: it is hatched. */
const double wide_spread = 0.05;

/* ====================== Caches ====================== */

/* A cache's mark: where it stands on the label axis (between the largest
 * working set it holds and the next), its name, its size as "32K" or "1M",
 * and its bytes, where it stands on an axis of bytes. */
struct CacheMark {
    double x = 0.0;
    std::string name, size;
    uint64_t bytes = 0;
};

/* cache_marks returns the marks of the caches, of sizes above 0: the first
 * most_marks of them (no machine has more levels; a record may list any
 * number). */
const size_t most_marks = 8;
std::vector<CacheMark> cache_marks(const std::vector<format::CacheSize> &caches);

/* caches_in returns the data and unified caches that a folder in the
 * layout of /sys/devices/system/cpu/cpu0/cache describes, as a record lists
 * them.  Only whole numbers pass as a level or a size (K, M or G after
 * it), so nothing else in the folder reaches the picture. */
std::vector<format::CacheSize> caches_in(const std::string &folder);

/* machine_title is the title of a table drawn on this machine: "memsweep
 * on MODEL at RATE MHz", from the first model name and cpu MHz lines of a
 * file in the layout of /proc/cpuinfo, leaving out what it lacks. */
std::string machine_title(const std::string &cpuinfo);

/* cache_list shows caches on one line, as "L1d 32K, L2 1M"; "" for none. */
std::string cache_list(const std::vector<format::CacheSize> &caches);

/* ====================== Curves ====================== */

/* One point of a curve: x and y, the range from low to high around y (as y
 * where there is none), and its point type: filled (7) drawn from one
 * record or judged faster or slower, open (6) the same, a cross (1)
 * unknown or in one record alone. */
struct Row {
    double x = 0.0, y = 0.0, low = 0.0, high = 0.0;
    int point = 7;
};

const int filled = 7, open_point = 6, cross = 1;

/* point_of is a verdict's point type. */
int point_of(compare::Verdict v);

/* A curve: its key title, colour ("#rrggbb"), dash type (1 solid, 2
 * dashed) and points, in the order they are joined. */
struct Curve {
    std::string title, colour;
    int dash = 1;
    std::vector<Row> rows;
};

/* The kernels the bandwidth panel draws, in this order; others are not. */
extern const char *const bandwidth_kernels[6];

/* bandwidth_curves returns the bandwidth panel's curves for one record
 * (GB/s) or for two (B / A, from the judged points): vector-read at every
 * thread count in blues, each other kernel at 1 thread (solid) and at its
 * most (dashed), each curve by working set. */
std::vector<Curve> bandwidth_curves(const format::Record &r);
std::vector<Curve> bandwidth_curves(const compare::Comparison &c);

/* plateau_text is the bandwidth plane's vector read at its largest working
 * set, at the fewest threads and at the most: "memory: 25.1 GB/s on 1
 * thread, 48.3 on 16" ("largest sets" where that set fits the largest
 * cache); "" without such points. */
std::string plateau_text(const format::Record &r);

/* The kernels the loaded-latency panel draws, in this order. */
extern const char *const loaded_kernels[2];

/* loaded_curves returns a record's loaded-latency curves, one a kernel,
 * from the idle point at 0 GB/s up the loads in order of load, each point
 * with its passes' range; points are marked by verdict where `verdicts`
 * holds one for the point's place in r.loaded (for two records), filled
 * where it is null.  A star (into *knees, as load and ns) marks each
 * kernel's knee where it stands clear of the passes' spread.  A curve's
 * title is its kernel after prefix ("A: " for two records). */
struct Knee {
    double gbs = 0.0, ns = 0.0;
};
std::vector<Curve> loaded_curves(const format::Record &r, const std::string &prefix, const std::string &colour,
                                 const std::vector<int> *points, std::vector<Knee> *knees);

/* loaded_points returns, for each of a's and b's loaded-latency points by
 * place in the records' lists, its point type: by the verdict of the pair
 * it is in (compare::match_points), a cross where it is in one alone. */
void loaded_points(const format::Record &a, const format::Record &b, const compare::Comparison &c,
                   std::vector<int> *of_a, std::vector<int> *of_b);

/* latency_curve returns a record's latency by working set, with each size's
 * range. */
Curve latency_curve(const format::Record &r, const std::string &title, const std::string &colour);

/* ====================== Layout ====================== */

/* legend_outside says whether a curve panel's key stands outside the plot,
 * on its right, clear of the curves: where it has more entries than
 * legend_inside.  Fewer stand inside, at the panel's emptiest corner. */
bool legend_outside(size_t entries);

/* The most entries a key keeps inside a panel. */
const size_t legend_inside = 4;

/* The panels in a grid: columns and rows, and the picture's size in
 * pixels.  Each panel is large enough that its smallest text, 11 points,
 * stays readable when the whole picture is shown at a screen's width. */
struct Layout {
    int columns = 1, rows = 1, width = 0, height = 0;
};

const int panel_width = 760, panel_height = 600;

/* layout_of lays out n panels: one row of up to three, else rows of two
 * for four, three for more; `caption_lines` under the title take room
 * above them. */
Layout layout_of(int panels, int caption_lines);

/* ====================== The picture ====================== */

/* What memsweep-plot was given: the inputs' names ("standard input" for
 * "-") and what they read as, the title asked for ("" for the default),
 * the caches to mark, and the title this machine would give (for tables,
 * from /proc/cpuinfo). */
struct Inputs {
    std::vector<std::string> names;
    std::vector<format::Record> records;
    std::string title;
    std::vector<format::CacheSize> caches;
    bool caches_named = false; /* -c named a folder, or none */
    std::string machine_title;
    compare::Settings settings;
};

struct Picture {
    bool two = false;
    std::string title, heading; /* heading: two inputs' "B / A" line */
    std::vector<std::string> caption;
    Grid grid;
    std::vector<Cell> cells; /* labels up, strides up */
    double scale = 0.0;      /* the colour scale's top (two: its distance from 1 either way) */
    std::vector<CacheMark> marks;
    std::vector<Curve> latency, bandwidth, loaded;
    std::vector<Knee> knees;
    double bandwidth_scale = 0.0; /* two: the bandwidth ratios' greatest distance from 1 */
    std::string plateau;
    bool bandwidth_key_outside = false, loaded_key_outside = false; /* legend_outside */
    Layout layout;
    int panels = 0;
    std::string report;             /* standard output: for two inputs, one line a point and a summary */
    std::vector<std::string> notes; /* standard error, one line each */
};

/* picture_of decides the picture; "" with *p filled, else why the inputs
 * can't be drawn (their grids, or two records that can't be compared). */
std::string picture_of(const Inputs &in, Picture *p);

/* colour_top is the colour scale's top for one input: its highest figure,
 * or 1 where every figure is 0. */
double colour_top(const std::vector<Cell> &cells);

/* ratio_top is the greatest distance from 1, either way, of the ratios that
 * are coloured (not the same, finite, above 0), and at least 1.05, for a log
 * scale centred on 1. */
double ratio_top(const std::vector<double> &ratios);

}  // namespace plot

#endif /* MEMSWEEP_PLOT_PICTURE_H */
