// SPDX-License-Identifier: MIT
/*
 * compare.cpp -- the Mann-Whitney U test, the verdict per point, and the
 * comparison of two records.
 */
#include "compare/compare.h"

#include "common/shown.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <utility>

namespace compare
{

using format::Figures;
using format::Record;

/* ====================== The test ====================== */

/* The rank sum is counted in doubled midranks, which are whole numbers: a
 * tie over ranks i+1 .. j has the midrank (i+1+j)/2, doubled i+1+j. */

/* A null distribution depends only on the sizes of the tie groups, in rank
 * order, and on how many figures are a's; most points have no ties, so one
 * distribution serves them all.  The counts of every doubled rank sum of
 * a's figures, over all ways of choosing them, kept for the next point
 * with the same pattern while they take less than cache_limit bytes all
 * together; past that the cache starts again. */
using Key = std::pair<int, std::vector<int>>;
static std::map<Key, std::vector<double>> distributions;
static size_t cached_bytes = 0;
static const size_t cache_limit = size_t(16) << 20;

/* choose returns C(n, k) as a double: exact up to 2^53, and within a
 * rounding error beyond, which is all a probability needs. */
static double choose(int n, int k)
{
    if (k < 0 || k > n)
        return 0.0;
    k = std::min(k, n - k);
    double c = 1.0;
    for (int i = 1; i <= k; i++)
        c = c * (n - k + i) / i;
    return c < 9007199254740992.0 ? round(c) : c;
}

/* distribution returns, for the tie groups' sizes (in rank order) and n
 * figures of a's, the number of ways to choose them with each doubled rank
 * sum w, by w.  Groups are taken one by one: choosing j of a group of t
 * figures of doubled rank r adds j * r to the sum, in C(t, j) ways.  With
 * N = n + m at most exact_limit and n at most m, the table has at most
 * (N / 2 + 1) (N^2 + 1) entries: 14,416 doubles at 30. */
static const std::vector<double> &distribution(int n, const std::vector<int> &groups)
{
    Key key{n, groups};
    auto found = distributions.find(key);
    if (found != distributions.end())
        return found->second;
    int total = std::accumulate(groups.begin(), groups.end(), 0);
    int top = n * 2 * total;  // no sum of n doubled ranks reaches beyond
    /* ways[k][w]: k figures chosen among the groups so far, sum w. */
    std::vector<std::vector<double>> ways((size_t)n + 1, std::vector<double>((size_t)top + 1, 0.0));
    ways[0][0] = 1.0;
    int before = 0;  // figures in the groups so far
    int reach = 0;   // the largest sum so far
    for (int t : groups) {
        int r = 2 * before + 1 + t;  // the group's doubled midrank
        /* Fewer than `least` chosen by now can't make n with the groups
         * left, and is not counted. */
        int least = std::max(1, n - (total - before - t));
        for (int k = std::min(n, before + t); k >= least; k--) {
            /* Choose j of this group, the rest among the earlier ones. */
            for (int j = std::max(1, k - before); j <= std::min(t, k); j++) {
                double c = choose(t, j);
                const std::vector<double> &from = ways[(size_t)(k - j)];
                std::vector<double> &to = ways[(size_t)k];
                /* k - j earlier figures sum to at least (k-j)(k-j+1) and
                 * at most 2 (k-j) before, in doubled ranks. */
                int low = (k - j) * (k - j + 1);
                int high = std::min(reach, 2 * (k - j) * before);
                /* from and to are different rows: the loop has no order. */
                const double *in = from.data();
                double *out = to.data() + (size_t)j * (size_t)r;
                for (int w = low; w <= high; w++)
                    out[w] += c * in[w];
            }
        }
        before += t;
        reach = std::min(top, reach + std::min(n, t) * r);
    }
    size_t bytes = ways[(size_t)n].size() * sizeof(double) + groups.size() * sizeof(int);
    if (cached_bytes + bytes > cache_limit) {
        distributions.clear();
        cached_bytes = 0;
    }
    cached_bytes += bytes;
    return distributions.emplace(key, std::move(ways[(size_t)n])).first->second;
}

/* normal_p returns the two-sided p of a rank sum far from its mean (both
 * doubled) by the normal approximation: U's variance n m / 12 ((N + 1) -
 * sum(t^3 - t) / (N (N - 1))) over the tie groups' sizes t, and a
 * continuity correction of a half. */
static double normal_p(int n, int m, const std::vector<int> &groups, double far)
{
    double total = n + m;
    double ties = std::accumulate(groups.begin(), groups.end(), 0.0,
                                  [](double sum, int t) { return sum + (double)t * t * t - t; });
    double variance = n * (double)m / 12.0 * ((total + 1.0) - ties / (total * (total - 1.0)));
    if (!(variance > 0.0))
        return 1.0;  // every figure the same
    double z = std::max(0.0, far / 2.0 - 0.5) / sqrt(variance);
    return std::min(1.0, erfc(z / sqrt(2.0)));
}

bool is_exact(int n, int m)
{
    return n + m <= exact_limit;
}

double mann_whitney_p(const std::vector<double> &a, const std::vector<double> &b)
{
    int n = (int)a.size();
    int m = (int)b.size();
    int total = n + m;
    if (n == 0 || m == 0)
        return 1.0;
    /* Two-sided, the test is the same from either side: counted from the
     * smaller, the exact distribution's table is the smaller. */
    if (n > m)
        return mann_whitney_p(b, a);
    std::vector<std::pair<double, int>> pooled((size_t)total);  // figure, 1 for a's
    std::transform(a.begin(), a.end(), pooled.begin(), [](double x) { return std::make_pair(x, 1); });
    std::transform(b.begin(), b.end(), pooled.begin() + n, [](double x) { return std::make_pair(x, 0); });
    std::sort(pooled.begin(), pooled.end());
    std::vector<int> groups;
    long observed = 0;  // a's doubled rank sum
    for (int i = 0; i < total;) {
        int j = i;
        int of_a = 0;
        while (j < total && pooled[(size_t)j].first == pooled[(size_t)i].first)
            of_a += pooled[(size_t)j++].second;
        groups.push_back(j - i);
        observed += (long)of_a * (i + 1 + j);
        i = j;
    }
    /* The mean doubled rank sum is n (N + 1); the test is two-sided. */
    long mean = (long)n * (total + 1);
    long far = labs(observed - mean);
    if (!is_exact(n, m))
        return normal_p(n, m, groups, (double)far);
    const std::vector<double> &ways = distribution(n, groups);
    double tail = 0.0;
    double all = 0.0;
    for (size_t w = 0; w < ways.size(); w++) {
        all += ways[w];
        if (labs((long)w - mean) >= far)
            tail += ways[w];
    }
    return std::min(1.0, tail / all);
}

double smallest_p(int n, int m)
{
    if (n < 1 || m < 1)
        return 1.0;
    if (!is_exact(n, m))
        return normal_p(n, m, std::vector<int>((size_t)(n + m), 1), (double)n * m);
    return std::min(1.0, 2.0 / choose(n + m, n));
}

int passes_needed(double alpha)
{
    for (int n = 1; n <= format::max_passes; n++)
        if (smallest_p(n, n) <= alpha)
            return n;
    return 0;
}

/* ====================== Judging ====================== */

const char *kind_name(Kind kind)
{
    return kind == Kind::cell        ? "cell"
           : kind == Kind::latency   ? "latency"
           : kind == Kind::bandwidth ? "bandwidth"
                                     : "loaded";
}

const char *verdict_name(Verdict verdict)
{
    switch (verdict) {
        case Verdict::faster:
            return "faster";
        case Verdict::slower:
            return "slower";
        case Verdict::same:
            return "same";
        default:
            return "unknown";
    }
}

Verdict judge_point(const Figures &a, const Figures &b, bool higher_is_better, double alpha, double threshold,
                    double *ratio, double *p)
{
    *ratio = a.median > 0.0 ? b.median / a.median : NAN;
    *p = -1.0;
    if (a.passes.empty() || b.passes.empty() || isnan(*ratio) ||
        smallest_p((int)a.passes.size(), (int)b.passes.size()) > alpha)
        return Verdict::unknown;
    *p = mann_whitney_p(a.passes, b.passes);
    if (*p > alpha || (*ratio <= 1.0 + threshold && *ratio >= 1.0 - threshold))
        return Verdict::same;
    return (*ratio > 1.0) == higher_is_better ? Verdict::faster : Verdict::slower;
}

/* fixed formats a number with a given count of decimals. */
static std::string fixed(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

/* shortest formats a number in as few digits as it takes. */
static std::string shortest(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

/* shown makes a record's text fit for the summary: one line, and no
 * longer than a model name. */
static std::string shown(const std::string &text)
{
    return shown_line(text, 80);
}

/* identity_differences names what differs of the two records' machines:
 * the CPU model, the page mode, the bandwidth plane's instruction sets. */
static std::vector<std::string> identity_differences(const Record &a, const Record &b)
{
    std::vector<std::string> d;
    if (a.is_table || b.is_table)
        return d;
    auto model = [](const Record &r) {
        return r.model.empty() ? std::string("an unknown CPU") : "\"" + shown(r.model) + "\"";
    };
    if (a.model != b.model)
        d.push_back("CPU models differ: A " + model(a) + ", B " + model(b));
    if (a.pages != b.pages)
        d.push_back("page modes differ: A " + a.pages + ", B " + b.pages);
    std::string isa_a = format::bandwidth_isa(a);
    std::string isa_b = format::bandwidth_isa(b);
    if (!isa_a.empty() && !isa_b.empty() && isa_a != isa_b)
        d.push_back("the bandwidth kernels' instruction sets differ: A " + shown(isa_a) + ", B " +
                    shown(isa_b));
    return d;
}

std::string point_key(const Point &p)
{
    std::string key = kind_name(p.kind);
    if (p.kind == Kind::cell)
        key += "\t" + std::to_string(p.label) + "\t" + std::to_string(p.stride);
    else if (p.kind == Kind::latency)
        key += "\t" + std::to_string(p.bytes);
    else if (p.kind == Kind::bandwidth)
        key += "\t" + shown_line(p.kernel) + "\t" + std::to_string(p.threads) + "\t" +
               std::to_string(p.bytes);
    else if (p.delay == format::idle_delay)
        key += "\tidle\t-";
    else
        key += "\t" + shown_line(p.kernel) + "\t" + std::to_string(p.delay);
    return key;
}

/* ratio_text is a ratio with three decimals, "nan" where there is none. */
static std::string ratio_text(double ratio)
{
    return isnan(ratio) ? std::string("nan") : fixed(ratio, 3);
}

std::string point_line(const Point &p)
{
    return point_key(p) + "\t" + ratio_text(p.ratio) + "\t" + verdict_name(p.verdict);
}

PointId point_id(const Point &p)
{
    return PointId(p.kind, p.label, p.stride, p.bytes, p.kernel, p.threads, p.delay);
}

std::vector<Point> points_of(const Record &r)
{
    std::vector<Point> points;
    for (const format::CellPoint &cell : r.cells) {
        Point p;
        p.label = cell.label;
        p.stride = cell.stride;
        p.a = cell.gbs;
        points.push_back(p);
    }
    std::stable_sort(points.begin(), points.end(), [](const Point &x, const Point &y) {
        return x.label != y.label ? x.label > y.label : x.stride < y.stride;
    });
    for (const format::LatencyPoint &latency : r.latency) {
        Point p;
        p.kind = Kind::latency;
        p.bytes = latency.bytes;
        p.a = latency.ns;
        points.push_back(p);
    }
    for (const format::BandwidthPoint &bandwidth : r.bandwidth) {
        Point p;
        p.kind = Kind::bandwidth;
        p.kernel = bandwidth.kernel;
        p.isa = bandwidth.isa;
        p.threads = bandwidth.threads;
        p.bytes = bandwidth.bytes;
        p.a = bandwidth.gbs;
        points.push_back(p);
    }
    for (const format::LoadedLatencyPoint &loaded : r.loaded) {
        Point p;
        p.kind = Kind::loaded;
        p.kernel = loaded.kernel;
        p.delay = loaded.delay;
        p.load_a = loaded.load_gbs;
        p.a = loaded.ns;
        points.push_back(p);
    }
    return points;
}

double drift_of(const Record &r)
{
    auto watched = std::find_if(r.cells.begin(), r.cells.end(),
                                [](const format::CellPoint &cell) { return cell.label == 1 && cell.stride == 1; });
    double cell = watched != r.cells.end() ? watched->gbs.median : 0.0;
    std::vector<double> plausible;
    for (const format::DriftReading &d : r.drift)
        if (d.gbs > 0.0 && (!(cell > 0.0) || (d.gbs >= cell / 2.0 && d.gbs <= cell * 2.0)))
            plausible.push_back(d.gbs);
    return format::figures_of(plausible).median;
}

/* nearest returns the place among `among` of the loaded-latency point of
 * kernel's whose load is nearest to gbs, the first of equals; -1 where
 * there is none. */
static int nearest(const std::vector<Point> &among, const std::string &kernel, double gbs)
{
    int best = -1;
    for (size_t j = 0; j < among.size(); j++) {
        const Point &q = among[j];
        if (q.kind != Kind::loaded || q.delay == format::idle_delay || q.kernel != kernel)
            continue;
        if (best < 0 || fabs(q.load_a - gbs) < fabs(among[(size_t)best].load_a - gbs))
            best = (int)j;
    }
    return best;
}

std::vector<int> match_points(const std::vector<Point> &a, const std::vector<Point> &b)
{
    std::map<PointId, int> of_b;
    for (size_t j = 0; j < b.size(); j++)
        if (b[j].kind != Kind::loaded || b[j].delay == format::idle_delay)
            of_b.emplace(point_id(b[j]), (int)j);
    std::vector<int> matched(a.size(), -1);
    for (size_t i = 0; i < a.size(); i++) {
        const Point &p = a[i];
        if (p.kind != Kind::loaded || p.delay == format::idle_delay) {
            auto found = of_b.find(point_id(p));
            matched[i] = found != of_b.end() ? found->second : -1;
            continue;
        }
        int j = nearest(b, p.kernel, p.load_a);
        if (j < 0 || nearest(a, p.kernel, b[(size_t)j].load_a) != (int)i)
            continue;
        double la = p.load_a;
        double lb = b[(size_t)j].load_a;
        if (fabs(la - lb) <= load_tolerance * std::max(la, lb))
            matched[i] = j;
    }
    return matched;
}

/* counters_differ: the counters' rates are more than 0.1 % apart. */
static bool counters_differ(const Record &a, const Record &b)
{
    return fabs(b.counter_mhz - a.counter_mhz) > 0.001 * std::max(fabs(a.counter_mhz), fabs(b.counter_mhz));
}

bool machines_differ(const Record &a, const Record &b)
{
    return !a.is_table && !b.is_table && (a.model != b.model || counters_differ(a, b));
}

std::vector<std::string> conditions_of(const Record &a, const Record &b)
{
    std::vector<std::string> d;
    if (a.is_table || b.is_table)
        return d;
    if (counters_differ(a, b))
        d.push_back("counter rates differ: A " + fixed(a.counter_mhz, 3) + " MHz, B " + fixed(b.counter_mhz, 3) +
                    " MHz");
    double huge_a = a.huge_share * 100.0;
    double huge_b = b.huge_share * 100.0;
    if (a.pages == b.pages && fabs(huge_a - huge_b) > 10.0)
        d.push_back("pages differ: A " + a.pages + ", " + fixed(huge_a, 0) + " % on huge pages; B " + b.pages + ", " +
                    fixed(huge_b, 0) + " %");
    auto or_else = [](const std::string &text, const char *otherwise) {
        return text.empty() ? std::string(otherwise) : shown(text);
    };
    if (a.governors != b.governors)
        d.push_back("governors differ: A " + or_else(a.governors, "none") + ", B " + or_else(b.governors, "none"));
    if (a.turbo != b.turbo)
        d.push_back("turbo differs: A " + or_else(a.turbo, "no switch") + ", B " + or_else(b.turbo, "no switch"));
    if (!a.warnings.empty() || !b.warnings.empty())
        d.push_back("warnings: A has " + std::to_string(a.warnings.size()) + ", B " +
                    std::to_string(b.warnings.size()));
    return d;
}

/* add judges a point found in both and keeps it. */
static void add(Comparison *c, Point p, bool higher_is_better, const Settings &s)
{
    p.verdict = judge_point(p.a, p.b, higher_is_better, s.alpha, c->threshold, &p.ratio, &p.p);
    if (p.verdict == Verdict::unknown && p.p < 0.0 && !isnan(p.ratio))
        c->too_few++;
    p.worse = p.verdict == Verdict::slower;
    c->points.push_back(p);
}

Comparison compare_records(const Record &a, const Record &b, const Settings &s)
{
    Comparison c;
    c.differences = identity_differences(a, b);
    if (!c.differences.empty() && !s.across_machines) {
        std::string all;
        for (const std::string &d : c.differences)
            all += (all.empty() ? "" : "; ") + d;
        c.refusal = "the records are of different machines or settings: " + all +
                    " (--across-machines compares them anyway)";
        return c;
    }

    /* The drift watch reads one core-bound cell through a session: where
     * the two medians differ, the machine itself ran at another speed.
     * That widens the threshold by no more than max_widen. */
    c.threshold = s.threshold;
    c.drift_a = drift_of(a);
    c.drift_b = drift_of(b);
    if (c.drift_a > 0.0 && c.drift_b > 0.0) {
        double apart = fabs(c.drift_b / c.drift_a - 1.0);
        if (apart > s.threshold)
            c.notes.push_back(
                "the drift watch ran at " + fixed(c.drift_a, 1) + " GB/s in A, " + fixed(c.drift_b, 1) +
                " in B: the machine itself ran at another speed, and differences of that size may be "
                "the moment rather than the setting" +
                (s.drift_widen && apart > max_widen
                     ? " (the threshold is widened by " + fixed(max_widen * 100.0, 0) + " points at most)"
                     : ""));
        if (s.drift_widen)
            c.threshold += std::min(apart, max_widen);
    }
    c.conditions = conditions_of(a, b);
    for (const std::string &note : c.notes)
        c.conditions.push_back(note);

    std::vector<Point> in_a = points_of(a);
    std::vector<Point> in_b = points_of(b);
    std::vector<int> matched = match_points(in_a, in_b);
    size_t in_both = (size_t)std::count_if(matched.begin(), matched.end(), [](int j) { return j >= 0; });
    if (in_both > max_points) {
        c.refusal = "the two have " + std::to_string(in_both) + " points in common, more than any record holds (" +
                    std::to_string(max_points) + " at most)";
        return c;
    }
    for (size_t i = 0; i < in_a.size(); i++) {
        if (matched[i] < 0)
            continue;
        const Point &other = in_b[(size_t)matched[i]];
        Point both = in_a[i];
        both.b = other.a;
        both.load_b = other.load_a;
        both.delay_b = other.delay;
        add(&c, both, both.kind != Kind::latency && both.kind != Kind::loaded, s);
    }
    int alone = (int)(in_a.size() + in_b.size() - 2 * c.points.size());

    if (c.points.empty()) {
        c.refusal = "the two have no point in common to compare";
        return c;
    }
    if (alone > 0)
        c.notes.push_back(std::to_string(alone) + (alone == 1 ? " point is" : " points are") +
                          " in one of the two alone, and not compared");
    c.needed = passes_needed(s.alpha);
    if (c.too_few > 0) {
        std::string why = "A has " + std::to_string(a.passes) + (a.passes == 1 ? " pass, B " : " passes, B ") +
                          std::to_string(b.passes);
        if (a.is_table || b.is_table)
            why = std::string(!b.is_table   ? "A is a table"
                              : !a.is_table ? "B is a table"
                                            : "both are tables") +
                  ", one pass with no spread";
        c.notes.push_back(std::to_string(c.too_few) + " points unknown: " + why +
                          ", and the test can't reach alpha " + shortest(s.alpha) + " with so few" +
                          (c.needed > 0 ? "; " + std::to_string(c.needed) + " passes a side would do"
                                        : "; no number of passes would"));
    }
    return c;
}

int count(const Comparison &c, Verdict verdict)
{
    return (int)std::count_if(c.points.begin(), c.points.end(),
                              [&](const Point &p) { return p.verdict == verdict; });
}

std::string summary(const Comparison &c, const Settings &s)
{
    std::string line;
    for (Kind kind : {Kind::cell, Kind::latency, Kind::bandwidth, Kind::loaded}) {
        int n[4] = {0, 0, 0, 0};
        for (const Point &p : c.points)
            if (p.kind == kind)
                n[(int)p.verdict]++;
        int total = n[0] + n[1] + n[2] + n[3];
        if (total == 0)
            continue;
        const char *names = kind == Kind::cell        ? " cells"
                            : kind == Kind::latency   ? " latency sizes"
                            : kind == Kind::bandwidth ? " bandwidth points"
                                                      : " loaded-latency points";
        line += (line.empty() ? "" : "; ") + std::to_string(total) + names + ": " + std::to_string(n[0]) +
                " faster, " + std::to_string(n[1]) + " slower, " + std::to_string(n[2]) + " same";
        if (n[3] > 0)
            line += ", " + std::to_string(n[3]) + " unknown";
    }
    line += "; alpha " + shortest(s.alpha) + ", threshold " + fixed(s.threshold * 100.0, 1) + " %";
    if (c.threshold != s.threshold)
        line += " widened to " + fixed(c.threshold * 100.0, 1) + " % by the drift watches (" +
                fixed(c.drift_a, 1) + " GB/s in A, " + fixed(c.drift_b, 1) + " in B)";
    for (const std::string &note : c.notes)
        line += "; " + note;
    if (!c.differences.empty()) {
        line += "; compared across machines:";
        for (size_t i = 0; i < c.differences.size(); i++)
            line += (i != 0u ? "; " : " ") + c.differences[i];
    }
    return line;
}

}  // namespace compare
