// End to end: the built executable's whole run.  Each run is a full sweep of
// one to two minutes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools.h"

namespace {

const std::string exe = MEMSWEEP_EXE;

struct Row {
    int label, stride;
    double gbs;
};

// table checks the shape of a run's standard output and returns its rows.
std::vector<Row> table(const std::string &out)
{
    std::vector<std::string> lines = lines_of(out);
    EXPECT_EQ(lines.size(), 211u);
    EXPECT_TRUE(!out.empty() && out.back() == '\n');
    std::vector<Row> rows;
    if (lines.empty())
        return rows;
    EXPECT_EQ(lines[0], "");
    size_t n = 1;
    for (int label = 14; label >= 1; label--) {
        for (int stride = 1; stride <= 15; stride++, n++) {
            if (n >= lines.size())
                return rows;
            Row r{};
            char tail;
            int got = sscanf(lines[n].c_str(), "%d\t%d\t%lf%c", &r.label, &r.stride, &r.gbs, &tail);
            EXPECT_EQ(got, 3) << lines[n];
            EXPECT_EQ(r.label, label) << lines[n];
            EXPECT_EQ(r.stride, stride) << lines[n];
            EXPECT_EQ(lines[n].find_first_not_of("0123456789\t"), std::string::npos) << lines[n];
            rows.push_back(r);
        }
    }
    return rows;
}

// A normal run, made once and shared by the tests of this process.
const Outcome &normal_run()
{
    static Outcome o = run_shell(exe);
    return o;
}

TEST(Table, HasOneEmptyLineThen210PositiveRowsAndExitsZero)
{
    const Outcome &o = normal_run();
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    std::vector<Row> rows = table(o.out);
    ASSERT_EQ(rows.size(), 210u);
    // Rounded to whole GB/s, a large working set at a long stride may show 0
    // on a slow machine; every working set shows a positive figure somewhere.
    for (int label = 0; label < 14; label++) {
        double sum = 0.0;
        for (int stride = 0; stride < 15; stride++)
            sum += rows[label * 15 + stride].gbs;
        EXPECT_GT(sum, 0.0) << "label " << 14 - label;
    }
}

TEST(Stdout, AFullDiskIsAFailureWithOneLineOnStandardError)
{
    Outcome o = run_shell(exe + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find("standard output"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// The first "cpu MHz" rate of the real file, or 0.0.
double real_mhz()
{
    FILE *f = fopen("/proc/cpuinfo", "r");
    char line[512];
    double m = 0.0;
    while (f != NULL && fgets(line, sizeof line, f) != NULL)
        if (sscanf(line, "cpu MHz : %lf", &m) == 1)
            break;
    if (f != NULL)
        fclose(f);
    return m;
}

TEST(Cpuinfo, WithoutARateLineTheRunWarnsAndScalesEveryFigureToOneGigahertz)
{
    if (geteuid() != 0 || run_shell("unshare -m true").status != 0)
        GTEST_SKIP() << "needs root and unshare -m to put a file over /proc/cpuinfo";

    std::string fake = testing::TempDir() + "memsweep_arm64_cpuinfo_" + std::to_string(getpid());
    FILE *f = fopen(fake.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm\nCPU implementer\t: 0x41\n", f);
    fclose(f);
    Outcome o = run_shell("unshare -m sh -c 'mount --bind " + fake + " /proc/cpuinfo && exec " + exe + "'");
    std::remove(fake.c_str());

    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "Can't open /proc/cpuinfo to get clock information\n");
    std::vector<Row> fallback = table(o.out);
    ASSERT_EQ(fallback.size(), 210u);

    // Same cycles at 1000 MHz instead of the real rate: every figure shrinks
    // by 1000 / rate.  Two runs differ by noise, so compare the median ratio
    // over the cells large enough for rounding not to matter.
    double rate = real_mhz();
    std::vector<Row> normal = table(normal_run().out);
    if (rate <= 0.0 || normal.size() != 210u || (rate > 700.0 && rate < 1500.0))
        GTEST_SKIP() << "the real rate (" << rate << " MHz) is too close to the fallback to tell";
    std::vector<double> ratios;
    for (size_t i = 0; i < 210; i++)
        if (normal[i].gbs >= 20.0)
            ratios.push_back(fallback[i].gbs / normal[i].gbs);
    ASSERT_GE(ratios.size(), 10u);
    double expected = 1000.0 / rate;
    EXPECT_GT(median(ratios), expected / 1.5);
    EXPECT_LT(median(ratios), expected * 1.5);
}

}  // namespace
