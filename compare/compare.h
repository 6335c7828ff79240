// SPDX-License-Identifier: MIT
/*
 * compare.h -- memsweep-compare's judgement: B against A, point by point, by
 * a two-sided Mann-Whitney U test over the passes and a practical
 * threshold on the ratio of the medians.  Pure functions of two records as
 * format/reader.h reads them; nothing is measured or printed here.
 */
#ifndef MEMSWEEP_COMPARE_COMPARE_H
#define MEMSWEEP_COMPARE_COMPARE_H

#include <string>
#include <tuple>
#include <vector>

#include "format/reader.h"

namespace compare
{

/* ====================== The test ====================== */

/* The test is exact where the two sides have at most exact_limit passes
 * together (15 a side), and the normal approximation beyond, where it is
 * close and where counting would cost time and memory that grow as the
 * passes' cube: at 100 a side one pattern of ties took 32 MB and a tenth
 * of a second to count. */
const int exact_limit = 30;

/* is_exact says whether the test of n against m passes is counted. */
bool is_exact(int n, int m);

/* mann_whitney_p returns the two-sided p of the Mann-Whitney U test of a
 * against b.  Counted (is_exact): the share of all C(n + m, n) ways of
 * splitting the pooled figures into groups of a's and b's sizes whose rank
 * sum lies at least as far from its mean as a's does, tied figures taking
 * their midrank and the distribution being that of the midranks actually
 * present (the permutation distribution).  Beyond: the normal
 * approximation of U, with the tie correction to its variance and a
 * continuity correction of a half.  1.0 where either side is empty or
 * every figure is the same. */
double mann_whitney_p(const std::vector<double> &a, const std::vector<double> &b);

/* smallest_p returns the smallest p the test can give with n and m passes,
 * where the two groups don't overlap at all: 2 / C(n + m, n) where it is
 * exact, the approximation's where not. */
double smallest_p(int n, int m);

/* passes_needed returns the fewest passes a side with which the test can
 * reach alpha; 0 where not even max_passes would. */
int passes_needed(double alpha);

/* ====================== Judging ====================== */

enum class Kind { cell, latency, bandwidth, loaded };
enum class Verdict { faster, slower, same, unknown };

const char *kind_name(Kind kind);
const char *verdict_name(Verdict verdict);

/* What is asked of a comparison. */
struct Settings {
    double alpha = 0.01;
    double threshold = 0.02; /* the practical threshold, a share of the median */
    bool drift_widen = true; /* the drift watches' ratio widens the threshold */
    bool across_machines = false;
};

/* One point found in both records. */
struct Point {
    Kind kind = Kind::cell;
    int label = 0, stride = 0; /* a cell */
    uint64_t bytes = 0;        /* latency, bandwidth (per thread) */
    std::string kernel, isa;   /* bandwidth */
    int threads = 0;           /* bandwidth */
    uint64_t delay = 0;        /* loaded latency: the loaders' delay in a; format::idle_delay for idle */
    uint64_t delay_b = 0;      /* loaded latency: the delay of the point of b's it is matched with */
    double load_a = 0.0, load_b = 0.0; /* loaded latency: the loaders' GB/s in a and b */
    format::Figures a, b;
    double ratio = 0.0; /* b's median over a's; NaN where a's is 0 */
    double p = -1.0;    /* the test's p; negative where not tested */
    Verdict verdict = Verdict::unknown;
    bool worse = false; /* lower throughput or bandwidth, longer latency (loaded or not) */
};

/* What the comparison found. */
struct Comparison {
    std::vector<Point> points; /* cells in memsweep's order, latency ascending, bandwidth and loaded
                                  latency in A's order */
    std::string refusal;       /* the records can't be compared: why, in one line; "" when they can */
    std::vector<std::string> differences; /* what differs of the two machines' identities */
    std::vector<std::string> notes;       /* drift, points in one record alone, too few passes */
    std::vector<std::string> conditions;  /* what differs of the conditions the two were made under
                                             (conditions_of), the drift watches' note among them */
    double threshold = 0.0;               /* the threshold used, widened (max_widen at most) or not */
    double drift_a = 0.0, drift_b = 0.0;  /* the drift watches' plausible medians (drift_of); 0 without */
    int too_few = 0;                      /* points unknown for too few passes */
    int needed = 0;                       /* passes a side that would do; 0 if none would */
};

/* The drift watches widen the threshold by at most this share (10
 * points): enough for the moments of one shared machine, not for a
 * machine that ran at another speed altogether. */
const double max_widen = 0.10;

/* drift_of returns the median of a record's drift watch readings that are
 * plausible: within half to twice the record's own median of the cell the
 * watch reads (16 KiB at stride 1), as the two measure the same in one
 * session; 0 where none is. */
double drift_of(const format::Record &r);

/* points_of returns a record's points, each with its figures in a (and a
 * loaded latency's load in load_a): cells in memsweep's order (labels from
 * 14 down, strides up), latency, bandwidth and loaded latency in the
 * record's order. */
std::vector<Point> points_of(const format::Record &r);

/* point_key is a point's kind and key, tab-separated, as the output lines
 * begin: "cell\t14\t1", "latency\t16384", "bandwidth\tcopy\t2\t16384",
 * "loaded\tvector-read\t4096" and, for the idle point, "loaded\tidle\t-". */
std::string point_key(const Point &p);

/* point_line is a judged point's line on standard output: its key, the
 * ratio with three decimals ("nan" where a's median is 0) and the
 * verdict, tab-separated, without a newline. */
std::string point_line(const Point &p);

/* point_id is what tells one point from another: its kind and its key,
 * with a kernel's name as the record has it.  Points are matched by it,
 * never by point_key, in which two names that differ only in control
 * characters look alike. */
using PointId = std::tuple<Kind, int, int, uint64_t, std::string, int, uint64_t>;
PointId point_id(const Point &p);

/* Two loaded-latency points are compared where their loads are within
 * this share of the larger of the two. */
const double load_tolerance = 0.10;

/* match_points pairs each of a's points with one of b's, or none (-1), by
 * index.  Every kind but the loaded latency is matched by point_id.  Each
 * session's loaded latency chooses its delays anew, so its points are
 * matched by load: a point with b's point of the same kernel whose load is
 * nearest to it, where that point has no nearer one in a and the two loads
 * are within load_tolerance of the larger; the idle points with each
 * other. */
std::vector<int> match_points(const std::vector<Point> &a, const std::vector<Point> &b);

/* machines_differ says whether two records were made on two machines:
 * their CPU models differ, or their counters' rates by more than 0.1 %
 * (two counters of one model that far apart are two machines).  Never for
 * a table. */
bool machines_differ(const format::Record &a, const format::Record &b);

/* conditions_of names what differs of the conditions two records were
 * made under, beyond their identities (Comparison::differences): the
 * counters' rates more than 0.1 % apart, the shares of memory on huge
 * pages more than 10 points apart under one page mode, the governors, the
 * turbo switch, and warnings in either.  Nothing for a table. */
std::vector<std::string> conditions_of(const format::Record &a, const format::Record &b);

/* judge_point judges one point's figures at alpha and a threshold; worse
 * than a longer time where higher_is_better is false (latency). */
Verdict judge_point(const format::Figures &a, const format::Figures &b, bool higher_is_better, double alpha,
                    double threshold, double *ratio, double *p);

/* The most points two records may have in common: a record of every
 * kernel at 1,000 thread counts has fewer, and judging this many takes
 * seconds at most. */
const size_t max_points = 100000;

/* compare_records judges every point the two records have in common, or
 * says why they can't be compared (different CPU models, page modes or
 * bandwidth instruction sets, unless across_machines; no point in common;
 * more than max_points in common). */
Comparison compare_records(const format::Record &a, const format::Record &b, const Settings &s);

/* summary is the comparison's one line for standard error. */
std::string summary(const Comparison &c, const Settings &s);

/* count returns how many points have the verdict. */
int count(const Comparison &c, Verdict verdict);

}  // namespace compare

#endif /* MEMSWEEP_COMPARE_COMPARE_H */
