// SPDX-License-Identifier: MIT
// memsweep-compare: the exact U test against hand-counted values, the
// verdicts and their floor, the comparison of two records and its
// refusals; the record's reader against its writer and against files that
// are no records; and the command's lines, documents and exit statuses.
#include "compare/compare.h"
#include "latency/loaded.h"
#include "format/reader.h"
#include "written.h"
#include "record/report.h"

#include <gtest/gtest.h>

#include <math.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools.h"

namespace
{

using compare::Verdict;
using format::Record;

/* ---------------------------------------------------------------- the test */

// The p values below are counted by hand over the C(6, 3) = 20 ways of
// splitting six figures into two groups of three.
TEST(MannWhitney, ExactTwoSidedPAgreesWithHandCountedSplits)
{
    // No overlap: 1 split of 20 at each end.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 2, 3}, {4, 5, 6}), 2.0 / 20.0);
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({6, 5, 4}, {3, 2, 1}), 2.0 / 20.0);
    // Ranks 1, 2, 4: rank sum 7, 3.5 below the mean of 10.5; sums 6, 7,
    // 14 and 15 lie as far, one split each.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 2, 4}, {3, 5, 6}), 4.0 / 20.0);
    // Five a side, no overlap: 2 of C(10, 5) = 252.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}), 2.0 / 252.0);
    // One figure on each side can tell nothing.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1}, {2}), 1.0);
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({}, {2}), 1.0);
}

TEST(MannWhitney, TiesTakeTheirMidranksAndThePermutationDistributionOfThoseMidranks)
{
    // Three pairs of ties, midranks 1.5, 3.5, 5.5; a has 1.5 + 1.5 + 3.5 =
    // 6.5, 4 below the mean.  The sums 6.5 and 14.5 (2 splits each) lie as
    // far; 8.5 and 12.5 (4 each) and 10.5 (8) don't.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 1, 2}, {2, 3, 3}), 4.0 / 20.0);
    // A tie of three across both groups, midrank 3: a has 1 + 3 + 3 = 7.
    // Sum 7 comes in 3 splits (two of the tie with rank 1), 14 in 3 (one
    // of the tie with ranks 5 and 6): 6 of 20.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 2, 2}, {2, 3, 4}), 6.0 / 20.0);
    // All the same: nothing to tell.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({5, 5, 5}, {5, 5, 5, 5}), 1.0);
    // Which side is A doesn't matter to a two-sided test.
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p({1, 2, 2, 7}, {2, 3, 4}),
                     compare::mann_whitney_p({2, 3, 4}, {1, 2, 2, 7}));
}

// brute_p counts the splits one by one: every subset of the pooled figures
// of a's size, its midrank sum against a's.
double brute_p(const std::vector<double> &a, const std::vector<double> &b)
{
    std::vector<double> pooled = a;
    pooled.insert(pooled.end(), b.begin(), b.end());
    size_t n = pooled.size();
    std::vector<double> rank(n);
    for (size_t i = 0; i < n; i++) {
        double below = 0, equal = 0;
        for (double x : pooled) {
            below += x < pooled[i];
            equal += x == pooled[i];
        }
        rank[i] = below + (equal + 1) / 2;
    }
    double observed = 0, mean = a.size() * (n + 1) / 2.0, far = 0, all = 0;
    for (size_t i = 0; i < a.size(); i++)
        observed += rank[i];
    for (unsigned mask = 0; mask < (1u << n); mask++) {
        if ((size_t)__builtin_popcount(mask) != a.size())
            continue;
        double sum = 0;
        for (size_t i = 0; i < n; i++)
            sum += mask >> i & 1 ? rank[i] : 0;
        all++;
        far += fabs(sum - mean) >= fabs(observed - mean) - 1e-9;
    }
    return far / all;
}

TEST(MannWhitney, AgreesWithEverySplitCountedOneByOneOnTiedFigures)
{
    // Figures drawn from a few values, so that ties are many and of every
    // size; the sides from 1 to 7.
    unsigned state = 12345;
    auto next = [&]() { return (state = state * 1103515245u + 12345u) >> 16; };
    for (int trial = 0; trial < 60; trial++) {
        size_t n = 1 + next() % 7, m = 1 + next() % 7;
        std::vector<double> a, b;
        for (size_t i = 0; i < n; i++)
            a.push_back((double)(next() % 5));
        for (size_t i = 0; i < m; i++)
            b.push_back((double)(next() % 5) + (trial % 3 == 0 ? 1.5 : 0.0));
        EXPECT_NEAR(compare::mann_whitney_p(a, b), brute_p(a, b), 1e-12) << "trial " << trial;
    }
}

// Beyond 30 passes in all the test is the normal approximation: the values
// below are worked out by its formula, U's distance from n m / 2 less a
// half over the square root of n m / 12 ((N + 1) - sum(t^3 - t) / (N (N -
// 1))), its two-sided tail erfc(z / sqrt 2).
TEST(MannWhitney, PastFortyPassesIsTheNormalApproximationWithItsTieCorrection)
{
    EXPECT_TRUE(compare::is_exact(15, 15));
    EXPECT_TRUE(compare::is_exact(5, 25));
    EXPECT_FALSE(compare::is_exact(15, 16));
    // 25 a side apart: U = 0, 312.5 from its mean; variance 2656.25.
    std::vector<double> low, high;
    for (int i = 0; i < 25; i++) {
        low.push_back(i);
        high.push_back(25 + i);
    }
    EXPECT_NEAR(compare::mann_whitney_p(low, high) / 1.4156562248495634e-09, 1.0, 1e-9);
    EXPECT_NEAR(compare::smallest_p(25, 25) / 1.4156562248495634e-09, 1.0, 1e-9);
    // 21 a side with ties in groups of two and three: U = 100, 120.5 from
    // 220.5; sum(t^3 - t) = 390, the variance 1571.93, z = 3.02667.
    std::vector<double> a = {1, 1, 2, 2, 2, 3, 3, 4, 5, 5, 5, 6, 7, 7, 8, 8, 9, 9, 9, 10, 11},
                        b = {3, 4, 4, 5, 6, 6, 7, 8, 8, 9, 10, 10, 11, 11, 12, 12, 12, 13, 13, 14, 14};
    EXPECT_NEAR(compare::mann_whitney_p(a, b), 0.002472636771506823, 1e-12);
    EXPECT_DOUBLE_EQ(compare::mann_whitney_p(a, b), compare::mann_whitney_p(b, a));
    // All the same: no variance, nothing to tell.  All the same but one:
    // U = 285, 15 from 300; one group of 49, the variance 50 (51 - 48).
    std::vector<double> fives(30, 5.0), but_one(20, 5.0);
    but_one.back() = 6.0;
    EXPECT_EQ(compare::mann_whitney_p(fives, fives), 1.0);
    EXPECT_NEAR(compare::mann_whitney_p(fives, but_one), erfc(14.5 / sqrt(150.0) / sqrt(2.0)), 1e-12);
}

// Every point of 100 passes a side with its own pattern of ties: each was
// a distribution of its own, counted and kept.  Now each is a formula, and
// the p values still tell the apart from the alike.
TEST(MannWhitney, ManyPatternsOfTiesAtOneHundredPassesASideAreJudgedAll)
{
    unsigned state = 99;
    auto next = [&]() { return (state = state * 1103515245u + 12345u) >> 16; };
    int apart = 0, alike = 0;
    for (int point = 0; point < 2000; point++) {
        std::vector<double> a, b;
        for (int k = 0; k < 100; k++) {
            a.push_back((double)(next() % 7));
            b.push_back((double)(next() % 7) + (point % 2 ? 3.0 : 0.0));
        }
        double p = compare::mann_whitney_p(a, b);
        apart += point % 2 == 1 && p < 1e-6;
        alike += point % 2 == 0 && p > 1e-3;
    }
    EXPECT_EQ(apart, 1000);
    EXPECT_GT(alike, 990);
}

TEST(MannWhitney, TheFloorOfPassesIsWhereTwoOverCOfTheSplitsReachesAlpha)
{
    EXPECT_DOUBLE_EQ(compare::smallest_p(4, 4), 2.0 / 70.0);
    EXPECT_DOUBLE_EQ(compare::smallest_p(1, 1), 1.0);
    // 2/70 is above 0.01, 2/252 below: five a side at the default alpha.
    EXPECT_EQ(compare::passes_needed(0.01), 5);
    EXPECT_EQ(compare::passes_needed(0.05), 4);
    EXPECT_EQ(compare::passes_needed(0.1), 3);
    EXPECT_EQ(compare::passes_needed(1e-300), 0);  // not even 100 passes would do
    // Counted up to 15 a side, 2 / C(30, 15); the approximation beyond,
    // whose tail falls more slowly.
    EXPECT_DOUBLE_EQ(compare::smallest_p(15, 15), 2.0 / 155117520.0);
    EXPECT_EQ(compare::passes_needed(1e-7), 14);
    EXPECT_EQ(compare::passes_needed(1e-10), 29);
}

/* ---------------------------------------------------------------- verdicts */

TEST(Verdict, NeedsTheTestAndTheThresholdBothAndIsUnknownBelowTheFloor)
{
    double ratio = 0.0, p = 0.0;
    format::Figures a = format::figures_of({10.0, 10.1, 10.2, 10.3, 10.4});
    format::Figures slower = format::figures_of({8.0, 8.1, 8.2, 8.3, 8.4});
    EXPECT_EQ(compare::judge_point(a, slower, true, 0.01, 0.02, &ratio, &p), Verdict::slower);
    EXPECT_NEAR(ratio, 8.2 / 10.2, 1e-12);
    EXPECT_DOUBLE_EQ(p, 2.0 / 252.0);
    EXPECT_EQ(compare::judge_point(slower, a, true, 0.01, 0.02, &ratio, &p), Verdict::faster);
    // A latency that got longer is slower.
    EXPECT_EQ(compare::judge_point(slower, a, false, 0.01, 0.02, &ratio, &p), Verdict::slower);
    // Apart in every pass, but by less than the threshold.
    format::Figures close = format::figures_of({10.5, 10.5, 10.6, 10.6, 10.6});
    EXPECT_EQ(compare::judge_point(a, close, true, 0.01, 0.05, &ratio, &p), Verdict::same);
    // Far apart in the median, but the passes overlap.
    format::Figures wide = format::figures_of({5.0, 6.0, 10.25, 11.0, 12.0});
    EXPECT_EQ(compare::judge_point(a, wide, true, 0.01, 0.02, &ratio, &p), Verdict::same);
    // Four a side can't reach 0.01 however far apart: unknown, untested.
    format::Figures a4 = format::figures_of({10, 10, 10, 10}), b4 = format::figures_of({5, 5, 5, 5});
    EXPECT_EQ(compare::judge_point(a4, b4, true, 0.01, 0.02, &ratio, &p), Verdict::unknown);
    EXPECT_LT(p, 0.0);
    EXPECT_EQ(compare::judge_point(a4, b4, true, 0.05, 0.02, &ratio, &p), Verdict::slower);
    // A median of 0 has no ratio.
    EXPECT_EQ(compare::judge_point(format::figures_of({0, 0, 0, 0, 0}), a, true, 0.01, 0.02, &ratio, &p),
              Verdict::unknown);
    EXPECT_TRUE(isnan(ratio));
}

/* ---------------------------------------------------------------- records */

// made_up returns a record of `passes` passes whose every figure is base
// times a small wobble that differs from pass to pass, with latency and a
// bandwidth plane.
Record made_up(int passes, double base = 10.0, const std::string &model = "Test CPU")
{
    Record r;
    r.passes = passes;
    r.model = model;
    r.pages = "system";
    auto wobble = [&](double x) {
        std::vector<double> f;
        for (int k = 0; k < passes; k++)
            f.push_back(x * (1.0 + 0.001 * ((k * 7) % 5)));
        return format::figures_of(f);
    };
    for (int label = 1; label <= 14; label++)
        for (int stride = 1; stride <= 15; stride++)
            r.cells.push_back({label, stride, wobble(base)});
    r.latency.push_back({16384, wobble(1.0)});
    r.latency.push_back({1 << 20, wobble(5.0)});
    r.has_bandwidth = true;
    r.bandwidth.push_back({"vector-read", "avx2", 2, 1 << 27, wobble(base)});
    r.drift = {{0.0, base}, {3.0, base}};  // the watch reads the 16 KiB cell at stride 1
    return r;
}

TEST(Compare, JudgesEveryPointInBothInMemsweepsOrderThenLatencyThenBandwidth)
{
    Record a = made_up(5), b = made_up(5);
    for (format::CellPoint &c : b.cells)
        if (c.label == 14)
            c.gbs = format::figures_of({8.0, 8.0, 8.01, 8.02, 8.0});
    b.latency[1].ns = format::figures_of({6.0, 6.1, 6.2, 6.0, 6.0});
    b.latency.push_back({1 << 27, format::figures_of({90, 90, 90, 90, 90})});  // in B alone
    compare::Comparison c = compare::compare_records(a, b, compare::Settings());
    ASSERT_TRUE(c.refusal.empty()) << c.refusal;
    ASSERT_EQ(c.points.size(), 210u + 2u + 1u);
    EXPECT_EQ(c.points[0].label, 14);
    EXPECT_EQ(c.points[0].stride, 1);
    EXPECT_EQ(c.points[209].label, 1);
    EXPECT_EQ(c.points[209].stride, 15);
    EXPECT_EQ(compare::count(c, Verdict::slower), 15 + 1);
    EXPECT_EQ(compare::count(c, Verdict::same), 210 - 15 + 1 + 1);
    EXPECT_EQ(c.points[211].kind, compare::Kind::latency);
    EXPECT_EQ(c.points[211].verdict, Verdict::slower);  // longer
    EXPECT_TRUE(c.points[211].worse);
    EXPECT_EQ(c.points[212].kernel, "vector-read");
    EXPECT_NE(compare::summary(c, compare::Settings()).find("1 point is in one of the two alone"),
              std::string::npos);
}

// Each session chooses its delays anew: loaded-latency points are paired
// by the nearest load, each the other's nearest and within a tenth.
TEST(Compare, PairsLoadedLatencyByTheNearestLoadNotByDelay)
{
    auto curve = [](const std::vector<std::pair<uint64_t, double>> &points) {
        Record r = made_up(5);
        r.loaded.push_back({"", format::idle_delay, 0.0, {}, format::figures_of({100, 100, 100, 100, 100})});
        for (const auto &p : points)
            r.loaded.push_back({"vector-read", p.first, p.second, {p.second},
                                format::figures_of({150, 150, 150, 150, 150})});
        return r;
    };
    Record a = curve({{4000, 5.0}, {2000, 10.0}, {1000, 11.0}, {500, 15.0}});
    Record b = curve({{3000, 5.3}, {1500, 10.7}, {100, 30.0}});
    std::vector<compare::Point> pa = compare::points_of(a);
    std::vector<compare::Point> pb = compare::points_of(b);
    std::vector<int> m = compare::match_points(pa, pb);
    size_t idle = pa.size() - 5;
    EXPECT_EQ(m[idle], (int)pb.size() - 4);      // idle with idle
    EXPECT_EQ(m[idle + 1], (int)pb.size() - 3);  // 5 with 5.3, whatever the delays
    EXPECT_EQ(m[idle + 2], -1);                  // 10.7 is nearer 11 than 10
    EXPECT_EQ(m[idle + 3], (int)pb.size() - 2);
    EXPECT_EQ(m[idle + 4], -1);  // 15 and 30 are too far apart
    compare::Comparison c = compare::compare_records(a, b, compare::Settings());
    const compare::Point &paired = c.points[c.points.size() - 2];
    EXPECT_EQ(paired.delay, 4000u);
    EXPECT_EQ(paired.delay_b, 3000u);
    EXPECT_EQ(paired.load_b, 5.3);
}

TEST(Compare, NamesTheConditionsThatDifferBeyondTheMachines)
{
    Record a = made_up(5), b = made_up(5);
    a.counter_mhz = b.counter_mhz = 2000.0;
    EXPECT_TRUE(compare::conditions_of(a, b).empty());
    EXPECT_FALSE(compare::machines_differ(a, b));
    b.counter_mhz = a.counter_mhz * 1.0005;  // within 0.1 %
    b.huge_share = a.huge_share + 0.05;
    EXPECT_TRUE(compare::conditions_of(a, b).empty());
    b.counter_mhz = a.counter_mhz * 1.01;
    b.huge_share = a.huge_share + 0.5;
    b.governors = "performance on 2";
    b.turbo = "off";
    b.warnings = {"busy"};
    std::vector<std::string> d = compare::conditions_of(a, b);
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[0].rfind("counter rates differ", 0), 0u);
    EXPECT_NE(d[1].find("on huge pages"), std::string::npos);
    EXPECT_NE(d[4].find("B 1"), std::string::npos);
    EXPECT_TRUE(compare::machines_differ(a, b));
    b.pages = a.pages + "-other";  // a page mode is an identity, named apart
    EXPECT_EQ(compare::conditions_of(a, b).size(), 4u);
    Record t;
    t.is_table = true;
    EXPECT_TRUE(compare::conditions_of(a, t).empty());
    EXPECT_FALSE(compare::machines_differ(t, b));
}

// Kernels are matched by their names as the records have them: two that
// differ only in control characters are two points, though shown alike.
TEST(Compare, KernelsWhoseNamesDifferOnlyInControlCharactersAreTwoPoints)
{
    Record a = made_up(5), b = made_up(5);
    format::Figures fast = a.bandwidth[0].gbs, slow = format::figures_of({5, 5.01, 5.02, 5.03, 5.04});
    a.bandwidth = {{"x\x01", "avx2", 1, 16384, fast}, {"x\x02", "avx2", 1, 16384, fast}};
    b.bandwidth = {{"x\x02", "avx2", 1, 16384, fast}, {"x\x01", "avx2", 1, 16384, slow}};
    compare::Comparison c = compare::compare_records(a, b, compare::Settings());
    ASSERT_EQ(c.points.size(), 210u + 2u + 2u);
    EXPECT_EQ(c.points[212].kernel, "x\x01");
    EXPECT_EQ(c.points[212].verdict, Verdict::slower);
    EXPECT_EQ(c.points[213].kernel, "x\x02");
    EXPECT_EQ(c.points[213].verdict, Verdict::same);
    EXPECT_EQ(compare::point_key(c.points[212]), "bandwidth\tx?\t1\t16384");
    EXPECT_EQ(compare::summary(c, compare::Settings()).find("alone"), std::string::npos);
}

TEST(Compare, RefusesOtherMachinesUnlessAskedAndThenNamesTheDifferences)
{
    compare::Settings s;
    Record a = made_up(5), b = made_up(5, 10.0, "Other CPU");
    compare::Comparison c = compare::compare_records(a, b, s);
    EXPECT_NE(c.refusal.find("CPU models differ: A \"Test CPU\", B \"Other CPU\""), std::string::npos)
        << c.refusal;
    b = made_up(5);
    b.pages = "huge";
    EXPECT_NE(compare::compare_records(a, b, s).refusal.find("page modes differ: A system, B huge"),
              std::string::npos);
    b = made_up(5);
    b.bandwidth[0].isa = "avx512";
    c = compare::compare_records(a, b, s);
    EXPECT_NE(c.refusal.find("instruction sets differ: A avx2, B avx512"), std::string::npos) << c.refusal;
    EXPECT_EQ(c.refusal.find('\n'), std::string::npos);
    s.across_machines = true;
    c = compare::compare_records(a, b, s);
    EXPECT_TRUE(c.refusal.empty());
    EXPECT_EQ(c.points.size(), 213u);
    EXPECT_NE(compare::summary(c, s).find("compared across machines: the bandwidth"), std::string::npos);
    // A record without a plane compares with one that has it, on the rest.
    b = made_up(5);
    b.bandwidth.clear();
    b.has_bandwidth = false;
    EXPECT_TRUE(compare::compare_records(a, b, compare::Settings()).refusal.empty());
    // Nothing in common is nothing to compare.
    b.cells.clear();
    b.latency.clear();
    EXPECT_NE(compare::compare_records(a, b, compare::Settings()).refusal.find("no point in common"),
              std::string::npos);
}

TEST(Compare, TooFewPassesOrATableMakeEveryVerdictUnknownAndSayWhatWouldDo)
{
    Record a = made_up(3), b = made_up(3, 5.0);
    compare::Comparison c = compare::compare_records(a, b, compare::Settings());
    EXPECT_EQ(compare::count(c, Verdict::unknown), 213);
    EXPECT_EQ(c.needed, 5);
    EXPECT_NE(compare::summary(c, compare::Settings()).find("5 passes a side would do"), std::string::npos);

    Record table;
    std::string error;
    ASSERT_TRUE(format::read_table("\n14\t1\t12\n14\t2\t13.5\r\n", &table, &error)) << error;
    c = compare::compare_records(table, made_up(5), compare::Settings());
    EXPECT_TRUE(c.refusal.empty());  // a table has no identity to refuse
    EXPECT_EQ(c.points.size(), 2u);
    EXPECT_EQ(compare::count(c, Verdict::unknown), 2);
    EXPECT_NE(compare::summary(c, compare::Settings()).find("A is a table"), std::string::npos);
}

TEST(Compare, DriftWatchesApartAreToldAndWidenTheThresholdUnlessAskedNot)
{
    Record a = made_up(5), b = made_up(5, 10.5);  // 5 % faster everywhere, and so was the core
    compare::Settings s;
    compare::Comparison c = compare::compare_records(a, b, s);
    EXPECT_NEAR(c.threshold, 0.07, 1e-12);
    EXPECT_EQ(compare::count(c, Verdict::faster), 0);
    EXPECT_NE(compare::summary(c, s).find("the drift watch ran at 10.0 GB/s in A, 10.5 in B"),
              std::string::npos);
    s.drift_widen = false;
    c = compare::compare_records(a, b, s);
    EXPECT_EQ(c.threshold, 0.02);
    EXPECT_EQ(compare::count(c, Verdict::faster), 210 + 1);
}

TEST(Compare, TheDriftWidensByTenPointsAtMostAndAnImplausibleReadingNotAtAll)
{
    // Half as fast everywhere, the core too: 10 points wider, no more, and
    // B is slower.
    compare::Settings s;
    s.threshold = 0.05;
    Record a = made_up(5), b = made_up(5, 5.0);
    compare::Comparison c = compare::compare_records(a, b, s);
    EXPECT_NEAR(c.threshold, 0.15, 1e-12);
    EXPECT_EQ(compare::count(c, Verdict::slower), 210 + 1);
    EXPECT_NE(compare::summary(c, s).find("10 points at most"), std::string::npos);
    // A reading near zero, or far above the watched cell, is no reading.
    b = made_up(5);
    b.drift = {{0.0, 10.0}, {3.0, 0.001}};
    c = compare::compare_records(a, b, s);
    EXPECT_EQ(c.drift_b, 10.0);
    EXPECT_EQ(c.threshold, 0.05);
    b.drift = {{0.0, 0.001}, {3.0, 1e6}};
    c = compare::compare_records(a, b, s);
    EXPECT_EQ(c.drift_b, 0.0);
    EXPECT_EQ(c.threshold, 0.05);
    EXPECT_EQ(compare::summary(c, s).find("drift"), std::string::npos);
}

TEST(Compare, MorePointsInCommonThanAnyRecordHoldsAreRefused)
{
    Record a = made_up(1), b = made_up(1);
    format::Figures one = format::figures_of({1.0});
    for (size_t i = 0; i <= compare::max_points; i++)
        a.bandwidth.push_back({"copy", "avx2", 1 + (int)i, 16384, one});
    b.bandwidth = a.bandwidth;
    compare::Comparison c = compare::compare_records(a, b, compare::Settings());
    EXPECT_NE(c.refusal.find("more than any record holds"), std::string::npos) << c.refusal;
    EXPECT_TRUE(c.points.empty());
}

/* ---------------------------------------------------------------- the reader */

record::Session written()
{
    record::Session s;
    s.version = "9.9.9";
    s.start = "2026-12-08T13:44:15Z";
    s.cpu = 1;
    s.model =
        "Made-up CPU \xc2\x9b"
        "1";
    s.pages = machine::Pages::huge;
    s.huge_share = 0.5;
    s.fresh_pages = true;
    s.cpu_mhz = 800.0;
    s.counter_mhz = 2400.0;
    s.memory_mib = 7941.0;
    checks::Check scaling;
    scaling.key = "frequency_scaling";
    scaling.name = "frequency scaling";
    checks::Scaling governors;
    governors.governors = {{"performance", 2}};
    governors.turbo = "on";
    scaling.data = governors;
    checks::Check caches;
    caches.key = "caches";
    caches.name = "caches";
    checks::Caches levels;
    levels.cpu0 = {{1, "Data", 49152, {}, {}}, {1, "Instruction", 32768, {}, {}}, {2, "Unified", 2097152, {}, {}}};
    caches.data = levels;
    s.checks_before = {scaling, caches};
    s.warnings = {"a warning"};
    for (size_t i = 0; i < record::grid().size(); i++)
        s.passes.gbs.push_back({1.0 + (double)i, 3.0 + (double)i, 2.0 + (double)i});
    s.passes.latency_bytes = {1 << 20, 16384};
    s.passes.latency_ns = {{90.0, 80.0, 100.0}, {1.25, 1.5, 1.0}};
    s.passes.drift = {{0.0, 40.0}, {3.0, 41.0}, {6.0, 44.0}};
    return s;
}

TEST(Reader, ReadsBackWhatTheWriterWroteEveryPassOfEveryPoint)
{
    record::Session s = written();
    json j = record_json(s);
    Record r;
    std::string error;
    ASSERT_TRUE(format::read_record(j.dump(2), &r, &error)) << error;
    EXPECT_FALSE(r.is_table);
    EXPECT_EQ(r.passes, 3);
    EXPECT_EQ(r.version, "9.9.9");
    EXPECT_EQ(r.start, "2026-12-08T13:44:15Z");
    EXPECT_EQ(r.cpu, 1);
    EXPECT_EQ(r.model, s.model);  // kept as it is; printing scrubs it
    EXPECT_EQ(format::one_line(r.model), "Made-up CPU ?1");
    // Nor does a name that is no UTF-8 reach a terminal: overlong, a
    // surrogate, a lead byte beyond U+10FFFF's.
    EXPECT_EQ(format::one_line("m\xc0\xaf\xed\xa0\x80\xf5\x80"), "m???????");
    EXPECT_EQ(r.pages, "huge");
    EXPECT_EQ(r.huge_share, 0.5);
    EXPECT_TRUE(r.fresh_pages);
    EXPECT_LT(r.latency_huge_share, 0.0);
    EXPECT_EQ(r.counter_mhz, 2400.0);
    EXPECT_EQ(r.factor, 800.0 / 2400.0);
    EXPECT_EQ(r.memory_mib, 7941.0);
    EXPECT_EQ(r.governors, "performance on 2");
    EXPECT_EQ(r.turbo, "on");
    ASSERT_EQ(r.caches.size(), 2u);
    EXPECT_EQ(r.caches[0].name, "L1d");
    EXPECT_EQ(r.caches[1].name, "L2");
    EXPECT_EQ(r.caches[1].bytes, 2097152u);
    EXPECT_EQ(r.warnings, std::vector<std::string>{"a warning"});
    ASSERT_EQ(r.drift.size(), 3u);
    EXPECT_EQ(format::drift_median(r), 41.0);
    ASSERT_EQ(r.cells.size(), 210u);
    std::vector<record::Cell> grid = record::grid();
    for (size_t i = 0; i < grid.size(); i++) {
        EXPECT_EQ(r.cells[i].label, grid[i].label);
        EXPECT_EQ(r.cells[i].stride, grid[i].stride);
        EXPECT_EQ(r.cells[i].gbs.passes, s.passes.gbs[i]);
        EXPECT_EQ(r.cells[i].gbs.median, 2.0 + (double)i);
    }
    ASSERT_EQ(r.latency.size(), 2u);  // ascending, as written
    EXPECT_EQ(r.latency[0].bytes, 16384u);
    EXPECT_EQ(r.latency[0].ns.passes, (std::vector<double>{1.25, 1.5, 1.0}));
    EXPECT_EQ(r.latency[1].ns.min, 80.0);
    EXPECT_TRUE(r.has_bandwidth);  // the plane's list, empty without one
    EXPECT_TRUE(r.bandwidth.empty());

    // The bandwidth plane, as the writer lists it.
    s.bandwidth = true;
    s.plane.threads = {1, 2};
    s.passes.plane = {{"vector-read", "avx512", 2, 134217728}, {"scalar-read", "scalar", 1, 16384}};
    s.passes.plane_gbs = {{23.0, 24.0, 25.0}, {40.0, 40.0, 40.0}};
    ASSERT_TRUE(format::read_record(record_json(s).dump(), &r, &error)) << error;
    ASSERT_TRUE(r.has_bandwidth);
    ASSERT_EQ(r.bandwidth.size(), 2u);
    EXPECT_EQ(r.bandwidth[0].kernel, "vector-read");
    EXPECT_EQ(r.bandwidth[0].isa, "avx512");
    EXPECT_EQ(r.bandwidth[0].threads, 2);
    EXPECT_EQ(r.bandwidth[0].bytes, 134217728u);
    EXPECT_EQ(r.bandwidth[0].gbs.median, 24.0);
    EXPECT_EQ(r.bandwidth[0].gbs.passes, (std::vector<double>{23.0, 24.0, 25.0}));
    EXPECT_EQ(r.bandwidth[1].gbs.min, 40.0);
    EXPECT_EQ(format::bandwidth_isa(r), "avx512,scalar");

    // The loaded latency, as the passes keep it and the writer lists it.
    EXPECT_TRUE(r.loaded.empty());
    s.passes.loaded = {{"vector-read", 4096}, {"", latency::idle_delay}, {"vector-read", 0}};
    s.passes.loaded_gbs = {{5.0, 6.0, 7.0}, {0.0, 0.0, 0.0}, {18.0, 19.0, 20.0}};
    s.passes.loaded_ns = {{120.0, 125.0, 130.0}, {100.0, 101.0, 99.0}, {150.0, 140.0, 160.0}};
    ASSERT_TRUE(format::read_record(record_json(s).dump(), &r, &error)) << error;
    ASSERT_EQ(r.loaded.size(), 3u);
    EXPECT_EQ(r.loaded[0].kernel, "");  // the idle point first
    EXPECT_EQ(r.loaded[0].ns.median, 100.0);
    EXPECT_EQ(r.loaded[1].delay, 0u);  // then the curve by delay
    EXPECT_EQ(r.loaded[1].load_gbs, 19.0);
    EXPECT_EQ(r.loaded[2].ns.passes, (std::vector<double>{120.0, 125.0, 130.0}));
}

TEST(Reader, ReadsTheTablesThatMemsweepAndMemsweepRecordPrint)
{
    record::Session s = written();
    Record r;
    std::string error;
    ASSERT_TRUE(format::read_input(record::best_table(s.passes), &r, &error)) << error;
    EXPECT_TRUE(r.is_table);
    EXPECT_EQ(r.passes, 1);
    ASSERT_EQ(r.cells.size(), 210u);
    EXPECT_EQ(r.cells[0].gbs.passes, std::vector<double>{3.0});
    ASSERT_TRUE(format::read_input("\n14\t1\t9\n", &r, &error));  // memsweep's whole GB/s
    for (const char *bad : {"", "\n\n", "14\t1\n", "15\t1\t9\n", "14\t0\t9\n", "14\t1\tnan\n", "14\t1\t-3\n",
                            "1e1\t1\t9\n", "14\t1\t9\n14\t1\t8\n", "14\t1\t9\textra\n",
                            "\x7f"
                            "ELF\x02\x01"}) {
        EXPECT_FALSE(format::read_input(bad, &r, &error)) << bad;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// refused returns the reader's one line for a text it refuses, or "" where
// it takes it.
std::string refused(const std::string &text)
{
    Record r;
    std::string error;
    if (format::read_input(text, &r, &error))
        return "";
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(format::one_line(error), error);
    return error;
}

// loaded_series is a loaded latency as the passes keep it: the idle
// point, then vector-read's full load and a delay, listed out of order.
std::vector<latency::LoadedSeries> loaded_series()
{
    return {{"vector-read", 4096, {9.0, 11.0, 10.0}, {150.0, 140.0, 160.0}},
            {"", latency::idle_delay, {0.0, 0.0, 0.0}, {100.0, 90.0, 110.0}},
            {"vector-read", 0, {20.0, 19.0, 21.0}, {300.0, 320.0, 310.0}}};
}

// loaded_json returns the loaded latency's list that the writer makes of
// series, in a record of written()'s.
json loaded_json(const std::vector<latency::LoadedSeries> &series)
{
    record::Session s = written();
    for (const latency::LoadedSeries &p : series) {
        s.passes.loaded.push_back({p.kernel, p.delay});
        s.passes.loaded_gbs.push_back(p.load_gbs);
        s.passes.loaded_ns.push_back(p.ns);
    }
    return record_json(s)["loaded_latency"];
}

// with_loaded returns written()'s record with the loaded latency's list.
json with_loaded()
{
    json j = record_json(written());
    j["loaded_latency"] = loaded_json(loaded_series());
    return j;
}

TEST(Reader, ReadsTheLoadedLatencyIdleFirstWhereTheRecordHasOne)
{
    Record r;
    std::string error;
    ASSERT_TRUE(format::read_record(record_json(written()).dump(), &r, &error)) << error;
    EXPECT_TRUE(r.loaded.empty());  // an older record has none
    ASSERT_TRUE(format::read_record(with_loaded().dump(), &r, &error)) << error;
    ASSERT_EQ(r.loaded.size(), 3u);
    EXPECT_EQ(r.loaded[0].kernel, "");
    EXPECT_EQ(r.loaded[0].delay, format::idle_delay);
    EXPECT_EQ(r.loaded[0].load_gbs, 0.0);
    EXPECT_EQ(r.loaded[0].ns.passes, (std::vector<double>{100.0, 90.0, 110.0}));
    EXPECT_EQ(r.loaded[1].kernel, "vector-read");
    EXPECT_EQ(r.loaded[1].delay, 0u);  // the full load before the delays
    EXPECT_EQ(r.loaded[1].load_gbs, 20.0);
    EXPECT_EQ(r.loaded[1].ns.median, 310.0);
    EXPECT_EQ(r.loaded[2].delay, 4096u);
    EXPECT_EQ(r.loaded[2].ns.min, 140.0);
    EXPECT_EQ(r.loaded[2].ns.max, 160.0);
}

TEST(Reader, RefusesALoadedLatencyThatIsNoCurve)
{
    auto changed = [](const std::string &pointer, const json &value) {
        json j = with_loaded();
        set_at(j, pointer, value);
        return refused(j.dump());
    };
    EXPECT_NE(changed("/loaded_latency", "many").find("loaded_latency is not a list"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/0/kernel", "copy").find("idle point"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/1/delay", nullptr).find("entry 2"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/1/kernel", 7).find("entry 2's kernel"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/1/kernel", "idle").find("idle"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/1/kernel", std::string(65, 'k')).find("longer"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/2/delay", -1).find("delay"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/2/delay", 0).find("same kernel and delay"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/0/load_gbs", 3.0).find("load above 0"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/2/load_gbs", "fast").find("load_gbs"), std::string::npos);
    EXPECT_NE(changed("/loaded_latency/2/passes", {1.0, 2.0, 3.0, 4.0}).find("entry 3 has 4 passes"),
              std::string::npos);
    EXPECT_NE(changed("/loaded_latency/2/passes", {1.0, 1e308 * 10}).find("entry 3"), std::string::npos);
    // Cut inside the list, the record is truncated.
    std::string whole = with_loaded().dump();
    EXPECT_NE(refused(whole.substr(0, whole.find("\"loaded_latency\"") + 40)).find("truncated"),
              std::string::npos);
}

TEST(Reader, RefusesTruncatedForeignAndHostileJsonWithOneLine)
{
    std::string whole = record_json(written()).dump(1);
    // Cut anywhere, a record is refused, and as truncated.
    for (size_t cut = 1; cut < whole.size(); cut += whole.size() / 97) {
        std::string why = refused(whole.substr(0, cut));
        EXPECT_NE(why.find("truncated"), std::string::npos) << cut << ": " << why;
    }
    EXPECT_NE(refused("[1, 2]").find("not a memsweep record"), std::string::npos);
    EXPECT_NE(refused("{\"format\": \"other\"}").find("not a memsweep record"), std::string::npos);
    EXPECT_NE(refused(whole + whole).find("not valid JSON"), std::string::npos);  // two values
    EXPECT_NE(refused("{\"a\": 1,, }").find("not valid JSON"), std::string::npos);
    EXPECT_NE(refused(std::string(100000, '[')).find("nested deeper"), std::string::npos);
    // Objects by the hundred thousand would take gigabytes once parsed.
    std::string objects = "{\"format\": \"memsweep-record\", \"x\": [{}";
    for (int i = 0; i < 250000; i++)
        objects += ",{}";
    EXPECT_NE(refused(objects + "]}").find("more objects"), std::string::npos);
    // A byte order mark before a record or a table is skipped.
    Record r;
    std::string error;
    EXPECT_TRUE(format::read_input("\xef\xbb\xbf" + whole, &r, &error)) << error;
    EXPECT_TRUE(format::read_input("\xef\xbb\xbf\n14\t1\t9\n", &r, &error)) << error;

    // A record with one member changed: refused by what is wrong.
    auto changed = [&](const std::string &pointer, const json &value) {
        json j = record_json(written());
        set_at(j, pointer, value);
        return refused(j.dump());
    };
    EXPECT_NE(changed("/format_version", 2).find("format version 2"), std::string::npos);
    EXPECT_NE(changed("/passes", 0).find("passes"), std::string::npos);
    EXPECT_NE(changed("/passes", 4).find("has 3 passes' figures, where the record has 4"), std::string::npos);
    EXPECT_NE(changed("/cells/5/passes", {1.0, "2", 3.0}).find("cell 6"), std::string::npos);
    EXPECT_NE(changed("/cells/5/passes", {1.0, -2.0, 3.0}).find("cell 6"), std::string::npos);
    EXPECT_NE(changed("/cells/5/passes", json::array()).find("cell 6"), std::string::npos);
    EXPECT_NE(changed("/cells/5/label", 15).find("label"), std::string::npos);
    EXPECT_NE(changed("/cells/5/stride", 1.5).find("stride"), std::string::npos);
    EXPECT_NE(changed("/cells/5/stride", 1).find("same label and stride"), std::string::npos);
    EXPECT_NE(changed("/cells/5/median", -1.0).find("median"), std::string::npos);
    EXPECT_NE(changed("/machine/model", 7).find("machine.model"), std::string::npos);
    EXPECT_NE(changed("/pages/mode", "giant").find("pages.mode"), std::string::npos);
    EXPECT_NE(changed("/pages/huge_share", 1.5).find("huge_share"), std::string::npos);
    EXPECT_NE(changed("/pages/fresh_each_pass", 1).find("fresh_each_pass"), std::string::npos);
    EXPECT_NE(changed("/clock/counter_mhz", 0).find("counter_mhz"), std::string::npos);
    EXPECT_NE(changed("/drift/0/gbs", "fast").find("drift"), std::string::npos);
    EXPECT_NE(changed("/latency/1/bytes", 16384).find("ascend"), std::string::npos);
    EXPECT_NE(changed("/bandwidth", 3).find("bandwidth"), std::string::npos);
    EXPECT_NE(
        changed("/bandwidth",
                {{{"kernel", "copy"}, {"isa", "sse2"}, {"threads", 0}, {"bytes", 1}, {"passes", {1.0}}}})
            .find("threads"),
        std::string::npos);
    std::vector<double> many(format::max_passes + 1, 1.0);
    EXPECT_NE(changed("/cells/0/passes", many).find("cell 1"), std::string::npos);
    // Numbers too large for a double are no figures.
    std::string huge = whole;
    huge.replace(huge.find("\"counter_mhz\": ") + 15, 6, "1e999");
    EXPECT_NE(refused(huge).find("not valid JSON"), std::string::npos);
}

/* ---------------------------------------------------------------- the command */

struct Files : TempFolder {
    // write puts a record (or any text) into the folder and returns its path.
    std::string write(const std::string &name, const std::string &text) const
    {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
};

std::string compare_cmd(const std::string &args)
{
    return std::string(MEMSWEEP_COMPARE_EXE) + " " + args;
}

// record_text returns written()'s record with passes scaled by `factor`
// in the largest row, with `passes` passes.
std::string record_text(double factor, int passes = 5, const std::string &model = "Made-up CPU")
{
    record::Session s = written();
    s.model = model;
    for (size_t i = 0; i < s.passes.gbs.size(); i++) {
        s.passes.gbs[i].clear();
        for (int k = 0; k < passes; k++)
            s.passes.gbs[i].push_back((10.0 + k * 0.01) * (i < 15 ? factor : 1.0));
    }
    s.passes.latency_bytes.clear();
    s.passes.latency_ns.clear();
    return record_json(s).dump();
}

TEST(CompareCommand, PrintsALinePerPointASummaryAndExitsByWhatIsWorse)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)), b = f.write("b.json", record_text(0.8));
    Outcome o = run_shell(compare_cmd(quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 1) << o.err;
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), 210u);
    EXPECT_EQ(lines[0], "cell\t14\t1\t0.800\tslower");
    EXPECT_EQ(lines[15], "cell\t13\t1\t1.000\tsame");
    EXPECT_EQ(lines_of(o.err).size(), 1u);
    EXPECT_EQ(o.err.rfind("memsweep-compare: 210 cells: 0 faster, 15 slower, 195 same", 0), 0u) << o.err;

    EXPECT_EQ(run_shell(compare_cmd(quote(b) + " " + quote(a))).status, 0);  // faster is not worse
    EXPECT_EQ(run_shell(compare_cmd("--fail-on any " + quote(b) + " " + quote(a))).status, 1);
    EXPECT_EQ(run_shell(compare_cmd("--fail-on=never " + quote(a) + " " + quote(b))).status, 0);
    EXPECT_EQ(run_shell(compare_cmd(quote(a) + " " + quote(a))).status, 0);
    // --alpha and --threshold move the verdicts.
    EXPECT_EQ(run_shell(compare_cmd("--threshold 25 " + quote(a) + " " + quote(b))).status, 0);

    // Three passes: unknown, exit 0, and what would do.
    std::string a3 = f.write("a3.json", record_text(1.0, 3)), b3 = f.write("b3.json", record_text(0.8, 3));
    o = run_shell(compare_cmd(quote(a3) + " " + quote(b3)));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(lines_of(o.out)[0], "cell\t14\t1\t0.800\tunknown");
    EXPECT_NE(o.err.find("5 passes a side would do"), std::string::npos) << o.err;
    // A table, from standard input: unknown, exit 0.
    std::string table = f.write("t.tsv", "\n14\t1\t9\n14\t2\t9.5\n");
    o = run_shell("cat " + quote(table) + " | " + compare_cmd("- " + quote(a)));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "cell\t14\t1\t1.113\tunknown\ncell\t14\t2\t1.055\tunknown\n");
}

TEST(CompareCommand, RefusesWithOneLineAndStatusTwo)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)),
                other = f.write("o.json", record_text(1.0, 5, "Other CPU"));
    Outcome o = run_shell(compare_cmd(quote(a) + " " + quote(other)));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(lines_of(o.err).size(), 1u);
    EXPECT_NE(o.err.find("CPU models differ"), std::string::npos) << o.err;
    o = run_shell(compare_cmd("--across-machines " + quote(a) + " " + quote(other)));
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.err.find("compared across machines: CPU models differ"), std::string::npos) << o.err;

    std::string whole = record_text(1.0);
    for (const std::string &bad : {whole.substr(0, whole.size() / 2), std::string("{\"format\": 1}"),
                                   std::string("\x01\x02\x03 binary")}) {
        o = run_shell(compare_cmd(quote(a) + " " + quote(f.write("bad", bad))));
        EXPECT_EQ(o.status, 2) << bad;
        EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    }
    o = run_shell(compare_cmd(quote(a) + " " + quote(f.path + "/missing.json")));
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("missing.json: can't read it"), std::string::npos) << o.err;
    o = run_shell(compare_cmd(quote(a) + " " + quote(f.path)));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;

    // Usage errors: the message on one line, controls scrubbed, then the usage.
    for (const std::string &args :
         {std::string("--alpha 0 a b"), std::string("--threshold x a b"),
          std::string("--fail-on sometimes a b"), std::string("a"), std::string("a b c"),
          std::string("'--bad\x1b[2J\xc2\x9b\x07' a b"), std::string("--json")}) {
        o = run_shell(compare_cmd(args));
        EXPECT_EQ(o.status, 2) << args;
        std::vector<std::string> err = lines_of(o.err);
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err[0].rfind("memsweep-compare: ", 0), 0u) << err[0];
        EXPECT_EQ(format::one_line(err[0]), err[0]) << args;
    }
}

TEST(CompareCommand, WritesItsDocumentAndThePlotsDataWhole)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)), b = f.write("b.json", record_text(0.8));
    std::string doc = f.path + "/cmp.json", data = f.path + "/cmp.tsv";
    Outcome o = run_shell(
        compare_cmd("--json " + quote(doc) + " --data " + quote(data) + " " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 1) << o.err;
    json d = json::parse(slurp(doc));
    EXPECT_EQ(d["format"], "memsweep-compare");
    EXPECT_EQ(d["format_version"], 1);
    ASSERT_EQ(d["points"].size(), 210u);
    EXPECT_EQ(d["points"][0]["verdict"], "slower");
    EXPECT_DOUBLE_EQ(d["points"][0]["p"].get<double>(), 2.0 / 252.0);
    EXPECT_EQ(d["counts"]["slower"], 15);
    EXPECT_EQ(d["exit_status"], 1);

    std::vector<std::string> lines = lines_of(slurp(data));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "# memsweep-compare-data 1");
    auto find = [&](const std::string &start) {
        auto l = std::find_if(lines.begin(), lines.end(),
                              [&](const std::string &x) { return x.rfind(start, 0) == 0; });
        return l == lines.end() ? std::string() : *l;
    };
    EXPECT_EQ(find("fact\tB\tmodel\t"), "fact\tB\tmodel\tMade-up CPU");
    EXPECT_EQ(find("cache\tA\t"), "cache\tA\tL1d\t49152");
    EXPECT_EQ(find("cell\t14\t1\t"),
              "cell\t14\t1\t10.02\t10\t10.04\t5\t8.016\t8\t8.032\t5\t0.800\t0.00793650794\tslower");
    EXPECT_EQ(find("summary\t").rfind("summary\t210 cells", 0), 0u);

    // One input: its figures alone.
    o = run_shell(compare_cmd("--data " + quote(data) + " " + quote(a)));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    lines = lines_of(slurp(data));
    EXPECT_EQ(find("cell\t1\t15\t"), "cell\t1\t15\t10.02\t10\t10.04\t5");
    // An output that can't be written: status 2, and nothing left of it.
    o = run_shell(
        compare_cmd("--json " + quote(f.path + "/no/such/folder.json") + " " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 2);
    // An output over an input is refused before anything is written.
    o = run_shell(compare_cmd("--json " + quote(a) + " " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(slurp(a), record_text(1.0));

    // "-" is standard output, in the lines' place; both there can't be.
    o = run_shell("cd " + quote(f.path) + " && " + compare_cmd("--json - " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(json::parse(o.out, nullptr, false)["points"].size(), 210u) << o.out.substr(0, 200);
    o = run_shell("cd " + quote(f.path) + " && " + compare_cmd("--data=- " + quote(a)));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.rfind("# memsweep-compare-data 1\n", 0), 0u) << o.out.substr(0, 200);
    EXPECT_FALSE(std::filesystem::exists(f.path + "/-"));
    o = run_shell(compare_cmd("--json - --data - " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n')),
              "memsweep-compare: --json and --data can't both go to standard output");
    o = run_shell(compare_cmd("--json - " + quote(a) + " " + quote(b) + " >/dev/full"));
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("memsweep-compare: standard output: can't write it: "), std::string::npos) << o.err;
}

// mode_of returns a file's permission bits.
mode_t mode_of(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// An output that is no regular file, or that names an input or the other
// output, is a usage error before anything is compared: nothing is
// printed, and nothing is written or made.
TEST(CompareCommand, RefusesAnOutputThatIsNoFileOrIsAnInputBeforeComparing)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)), b = f.write("b.json", record_text(0.8));
    std::string fifo = f.path + "/fifo", dev = f.path + "/null";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(symlink("fifo", (f.path + "/to-fifo").c_str()), 0);
    std::vector<std::string> bad_outputs = {"--json " + quote(fifo), "--data " + quote(f.path + "/to-fifo"),
                                        "--json " + quote(f.path), "--json " + quote(f.path + "/" + std::string(256, 'n')),
                                        "--json " + quote(a), "--data " + quote(f.path + "/./b.json"),
                                        "--json " + quote(f.path + "/x") + " --data " + quote(f.path + "/./x"),
                                        "--json - --data -"};
    // A character device, where this process may make one (root).
    if (mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        bad_outputs.push_back("--json " + quote(dev));
    std::string before = run_shell("ls -A " + quote(f.path)).out;
    for (const std::string &outputs : bad_outputs) {
        Outcome o = run_shell(compare_cmd("--data " + quote(f.path + "/d.tsv") + " " + outputs + " " + quote(a) +
                                          " " + quote(b)));
        EXPECT_EQ(o.status, 2) << outputs;
        EXPECT_EQ(o.out, "") << outputs;
        EXPECT_EQ(run_shell("ls -A " + quote(f.path)).out, before) << outputs;
    }
    EXPECT_EQ(slurp(a), record_text(1.0));
    EXPECT_EQ(slurp(b), record_text(0.8));
    // Standard input as an input, by what it is: the record is kept.
    Outcome o = run_shell(compare_cmd("--json " + quote(a) + " - " + quote(b)) + " < " + quote(a));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(slurp(a), record_text(1.0));
    // Standard output's own file would lose the lines.
    o = run_shell(compare_cmd("--json " + quote(f.path + "/o.json") + " " + quote(a) + " " + quote(b)) + " > " +
                  quote(f.path + "/o.json"));
    EXPECT_EQ(o.status, 2);
}

TEST(CompareCommand, WritesThroughLinksKeepsPermissionsAndTakesTheLongestNames)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)), b = f.write("b.json", record_text(0.8));
    std::string kept = f.write("kept.json", "old\n"), link = f.path + "/link.json";
    ASSERT_EQ(chmod(kept.c_str(), 0600), 0);
    ASSERT_EQ(symlink("kept.json", link.c_str()), 0);
    std::string longest = f.path + "/" + std::string(255, 'n');
    Outcome o = run_shell(compare_cmd("--json " + quote(link) + " --data " + quote(longest) + " " + quote(a) + " " +
                                      quote(b)));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(json::parse(slurp(kept))["format"], "memsweep-compare");
    EXPECT_EQ(mode_of(kept), 0600u);
    EXPECT_EQ(run_shell("stat -c %F " + quote(link)).out, "symbolic link\n");
    EXPECT_EQ(lines_of(slurp(longest))[0], "# memsweep-compare-data 1");
    EXPECT_EQ(run_shell("ls -A " + quote(f.path)).out, "a.json\nb.json\nkept.json\nlink.json\n" +
                                                            std::string(255, 'n') + "\n");
}

// "-" is standard output, as in every command: the document takes the
// lines' place there, and no file of that name is made.  Started with
// standard output closed, the command still writes its outputs whole.
TEST(CompareCommand, ADashOutputIsStandardOutputAndClosedDescriptorsAreSafe)
{
    Files f;
    std::string a = f.write("a.json", record_text(1.0)), b = f.write("b.json", record_text(0.8));
    Outcome o = run_shell("cd " + quote(f.path) + " && " + compare_cmd("--json - a.json b.json"));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(json::parse(o.out)["points"].size(), 210u);
    o = run_shell("cd " + quote(f.path) + " && " + compare_cmd("--data - a.json"));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(lines_of(o.out)[0], "# memsweep-compare-data 1");
    EXPECT_EQ(run_shell("ls -A " + quote(f.path)).out, "a.json\nb.json\n");

    std::string doc = f.path + "/cmp.json";
    o = run_shell(compare_cmd("--json " + quote(doc) + " " + quote(a) + " " + quote(b)) + " >&-");
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(json::parse(slurp(doc), nullptr, false)["exit_status"], 1);
}

TEST(CompareCommand, ReadsPastAByteOrderMarkAndSaysWhatStandardInputIs)
{
    Files f;
    std::string a = f.write("a.json", "\xef\xbb\xbf" + record_text(1.0)),
                t = f.write("t.tsv", "\xef\xbb\xbf\n14\t1\t9\n");
    Outcome o = run_shell(compare_cmd(quote(t) + " " + quote(a)));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "cell\t14\t1\t1.113\tunknown\n");
    // Empty, a folder and closed are three things, each said in one line.
    std::vector<std::string> said;
    for (const char *in : {"< /dev/null", "< .", "<&-"}) {
        o = run_shell("cd " + quote(f.path) + " && " + compare_cmd("- a.json " + std::string(in)));
        EXPECT_EQ(o.status, 2) << in;
        EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
        said.push_back(o.err);
    }
    EXPECT_NE(said[0], said[1]);
    EXPECT_NE(said[0], said[2]);
    EXPECT_NE(said[1], said[2]);
}

// loaded_text returns record_text(1.0) of 5 passes with a loaded latency
// whose loaded points' ns are scaled by `factor`: idle 100 ns, 300 ns at
// full load (20 GB/s), 150 ns at 10 GB/s.
std::string loaded_text(double factor)
{
    json j = json::parse(record_text(1.0));
    auto ns = [](double at, double by) {
        std::vector<double> passes;
        for (int k = 0; k < 5; k++)
            passes.push_back((at + k * 0.5) * by);
        return passes;
    };
    std::vector<double> load(5, 20.0), half(5, 10.0), none(5, 0.0);
    j["loaded_latency"] = loaded_json({{"", latency::idle_delay, none, ns(100.0, 1.0)},
                                               {"vector-read", 0, load, ns(300.0, factor)},
                                               {"vector-read", 4096, half, ns(150.0, factor)}});
    return j.dump();
}

TEST(CompareCommand, JudgesLoadedLatencyLikeLatencyAndWritesItsLoadsAndKnees)
{
    Files f;
    std::string a = f.write("a.json", loaded_text(1.0)), b = f.write("b.json", loaded_text(1.2));
    std::string doc = f.path + "/cmp.json", data = f.path + "/cmp.tsv";
    Outcome o = run_shell(
        compare_cmd("--json " + quote(doc) + " --data " + quote(data) + " " + quote(a) + " " + quote(b)));
    EXPECT_EQ(o.status, 1) << o.err;  // longer under load: worse
    std::vector<std::string> out = lines_of(o.out);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[out.size() - 3], "loaded\tidle\t-\t1.000\tsame");
    EXPECT_EQ(out[out.size() - 2], "loaded\tvector-read\t0\t1.200\tslower");
    EXPECT_EQ(out[out.size() - 1], "loaded\tvector-read\t4096\t1.200\tslower");
    EXPECT_NE(o.err.find("3 loaded-latency points: 0 faster, 2 slower, 1 same"), std::string::npos) << o.err;

    json d = json::parse(slurp(doc));
    json last = d["points"].back();
    EXPECT_EQ(last["kind"], "loaded");
    EXPECT_EQ(last["kernel"], "vector-read");
    EXPECT_EQ(last["delay"], 4096);
    EXPECT_EQ(last["load_gbs"]["b"], 10.0);
    EXPECT_TRUE(d["points"][d["points"].size() - 3]["delay"].is_null());

    std::string text = slurp(data);
    EXPECT_NE(text.find("\nloaded\tvector-read\t0\t301\t300\t302\t5\t361.2\t360\t362.4\t5\t1.200\t"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\tslower\t20\t20\n"), std::string::npos);
    EXPECT_NE(text.find("\nloaded\tidle\t-\t101\t100\t102\t5\t101\t100\t102\t5\t1.000\t1\tsame\t0\t0\n"),
              std::string::npos);
    // Twice the idle 101 ns is 202: in A between 151 ns at 10 GB/s and 301
    // at 20; in B between 181.2 and 361.2, at 10 + 10 * 20.8 / 180.
    EXPECT_NE(text.find("\nknee\tA\tvector-read\t13.4\tfound\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nknee\tB\tvector-read\t11.1555556\tfound\n"), std::string::npos) << text;

    // A record without the list: its points are in A alone, without a knee.
    std::string old = f.write("old.json", record_text(1.0));
    o = run_shell(compare_cmd("--data " + quote(data) + " " + quote(old) + " " + quote(a)));
    EXPECT_EQ(o.status, 0) << o.err;
    text = slurp(data);
    EXPECT_NE(text.find("\nloaded\tvector-read\t0\t-\t-\t-\t-\t301\t300\t302\t5\t-\t-\t-\t-\t20\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("knee\tA"), std::string::npos);
}

}  // namespace
