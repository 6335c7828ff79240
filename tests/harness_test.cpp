// SPDX-License-Identifier: MIT
// The best-of-K harness against a scripted counter.  The harness unit is
// included here so that the tests can see its private store.
#include "harness/harness.cpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "fakes/fake_clock.h"

namespace {

// probe is the function measured: it logs each call.
int probe_calls;
int probe(int a, int b)
{
    probe_calls++;
    fake_clock::log += 'f';
    return a + b;
}

// script makes the n-th reading counts[n], and the last one after that.
void script(const std::vector<double> &counts)
{
    fake_clock::reset();
    probe_calls = 0;
    fake_clock::reading = [counts](int n) {
        return counts[std::min<size_t>((size_t)n, counts.size() - 1)];
    };
}

std::vector<double> kept(int k)
{
    return std::vector<double>(values, values + k);
}

std::vector<double> recorded()
{
    return std::vector<double>(samples, samples + samplecount);
}

TEST(Store, KeepsTheKSmallestInOrderAndConvergesWithinTolerance)
{
    script({10, 12, 10.05, 10.08, 1});
    double best = fcyc2_full(probe, 1, 2, 0, 3, 500, 0.01, 0);
    // After three samples 12 > 1.01 * 10; the fourth replaces 12 and agrees.
    EXPECT_EQ(best, 10.0);
    EXPECT_EQ(samplecount, 4);
    EXPECT_EQ(kept(3), (std::vector<double>{10, 10.05, 10.08}));
    EXPECT_EQ(recorded(), (std::vector<double>{10, 12, 10.05, 10.08}));
    EXPECT_EQ(get_min(), 10.0);
    EXPECT_DOUBLE_EQ(err(3), 0.008);
    EXPECT_EQ(has_converged(3, 0.01, 500), 4);
    EXPECT_EQ(has_converged(3, 0.005, 500), 0);
    EXPECT_EQ(has_converged(3, 0.005, 4), -1);
}

TEST(Store, RecordsAndCountsASampleEqualToTheLargestKeptWithoutKeepingIt)
{
    script({5, 7, 9, 9});
    fcyc2_full(probe, 0, 0, 0, 3, 4, 0.01, 0);
    EXPECT_EQ(kept(3), (std::vector<double>{5, 7, 9}));
    EXPECT_EQ(recorded(), (std::vector<double>{5, 7, 9, 9}));
}

TEST(Store, KeepsEqualSamplesInArrivalOrder)
{
    // 0.0 and -0.0 compare equal, so only a swap on equality could reorder them.
    script({0.0, -0.0, 3.0});
    fcyc2_full(probe, 0, 0, 0, 3, 3, 0.01, 0);
    EXPECT_FALSE(std::signbit(values[0]));
    EXPECT_TRUE(std::signbit(values[1]));
}

TEST(Store, ErrAndHasConvergedBeforeKSamplesDoNotLookAtTheStore)
{
    script({50});
    fcyc2_full(probe, 0, 0, 0, 3, 1, 0.01, 0);
    EXPECT_EQ(samplecount, 1);
    EXPECT_EQ(err(3), 1000.0);
    EXPECT_EQ(has_converged(3, 0.01, 500), 0);
    EXPECT_EQ(has_converged(3, 0.01, 1), -1);
}

TEST(Store, IsSafeBeforeTheFirstMeasurement)
{
    free(values);
    free(samples);
    values = samples = NULL;
    samplecount = capacity = 0;
    EXPECT_EQ(get_min(), 0.0);
    add_sample(3.0, 3);
    EXPECT_EQ(samplecount, 0);
    EXPECT_EQ(err(3), 1000.0);
    EXPECT_EQ(has_converged(3, 0.01, 500), 0);
    EXPECT_EQ(has_converged(3, 0.01, 0), -1);
}

TEST(Store, CountsButDoesNotRecordSamplesBeyondItsRoom)
{
    script({8});
    fcyc2_full(probe, 0, 0, 0, 1, 1, 0.01, 0);  // room for 1 + 1 samples
    for (double v : {4.0, 6.0, 2.0, 9.0})
        add_sample(v, 1);
    EXPECT_EQ(samplecount, 5);
    EXPECT_EQ(get_min(), 2.0);
    EXPECT_EQ(samples[0], 8.0);
    EXPECT_EQ(samples[1], 4.0);
}

TEST(Loop, WarmsUpThenTimesOnlyTheCallAndStopsAfterKEqualSamples)
{
    script({250});
    EXPECT_EQ(fcyc2_full(probe, 4, 5, 0, 3, 500, 0.01, 0), 250.0);
    EXPECT_EQ(samplecount, 3);
    EXPECT_EQ(probe_calls, 6);
    EXPECT_EQ(fake_clock::log, "fsfgfsfgfsfg");
}

TEST(Loop, RunsToTheLimitWhenSamplesNeverAgree)
{
    script({0});
    fake_clock::reading = [](int n) { return 1000.0 + 20.0 * n; };  // 2% apart
    EXPECT_EQ(fcyc2(probe, 0, 0, 0), 1000.0);
    EXPECT_EQ(samplecount, 500);
    EXPECT_EQ(probe_calls, 1000);
    EXPECT_EQ(has_converged(3, 0.01, 500), -1);
}

TEST(Loop, NeverConvergesOnEqualNegativeSamples)
{
    script({-40});
    EXPECT_EQ(fcyc2_full(probe, 0, 0, 0, 3, 25, 0.01, 0), -40.0);
    EXPECT_EQ(samplecount, 25);
}

TEST(Loop, TakesAtLeastOneSampleAndKeepsFewerThanKInOrder)
{
    script({30, 20});
    EXPECT_EQ(fcyc2_full(probe, 0, 0, 0, 4, 2, 0.01, 0), 20.0);
    EXPECT_EQ(kept(4), (std::vector<double>{20, 30, 0, 0}));

    script({30});
    EXPECT_EQ(fcyc2_full(probe, 0, 0, 0, 3, 0, 0.01, 0), 30.0);
    EXPECT_EQ(samplecount, 1);
}

TEST(Loop, ToleranceIsInclusive)
{
    script({100, 101, 101});
    fcyc2(probe, 0, 0, 0);
    EXPECT_EQ(samplecount, 3);

    script({100, 101.01, 101});
    fcyc2(probe, 0, 0, 0);
    EXPECT_EQ(samplecount, 4);
}

TEST(Loop, CompensateUsesOnlyTheCompensatedCounter)
{
    script({70});
    fcyc2_full(probe, 0, 0, 0, 3, 500, 0.01, 1);
    EXPECT_EQ(fake_clock::log, "fSfGfSfGfSfG");
    EXPECT_EQ(fake_clock::starts + fake_clock::reads, 0);
}

TEST(Loop, Fcyc2PassesItsArgumentsAndTakesThreeWithinOnePercentOrAtMost500)
{
    static int seen_a, seen_b;
    auto record = [](int a, int b) { seen_a = a; seen_b = b; return 0; };
    // 30, 30.29 and 30.3 agree within 1% (30.3 = 1.01 * 30), but only with
    // the fourth sample: two would agree at the third, a tighter tolerance
    // never.
    script({30, 35, 30.3, 30.29});
    EXPECT_EQ(fcyc2(record, 11, -3, 7), 30.0);
    EXPECT_EQ(samplecount, 4);
    EXPECT_EQ(fake_clock::comp_reads, 0);
    EXPECT_EQ(seen_a, 11);
    EXPECT_EQ(seen_b, -3);

    // Each sample one cycle longer than the one before: never within 1%.
    script({0});
    fake_clock::reading = [](int n) { return 100.0 + n; };
    fcyc2(record, 0, 0, 0);
    EXPECT_EQ(samplecount, 500);
}

TEST(LoopDeathTest, ExitsWithOneLineWhenTheStoreCannotBeAllocated)
{
    if (getenv("MEMSWEEP_EMULATED") != nullptr)
        GTEST_SKIP() << "under an emulator the address space and its limit are the emulator's";
    auto starve = [] {
        // Leave the address space no room for 50 million samples (400 MB).
        struct rlimit rl;
        getrlimit(RLIMIT_AS, &rl);
        FILE *f = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (f != NULL && fscanf(f, "%lu", &pages) == 1)
            rl.rlim_cur = pages * (unsigned long)sysconf(_SC_PAGESIZE) + (64UL << 20);
        if (f != NULL)
            fclose(f);
        setrlimit(RLIMIT_AS, &rl);
        script({1});
        fcyc2_full(probe, 0, 0, 0, 3, 50000000, 0.01, 0);
    };
    EXPECT_EXIT(starve(), testing::ExitedWithCode(1), "^Can't allocate memory for 50000003 samples\n$");
}

}  // namespace
