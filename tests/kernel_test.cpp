// SPDX-License-Identifier: MIT
// The read kernel, the array fill and one grid point.  The kernel's main loop
// is assembly, so its sums are checked against a plain model of the same
// walk, and against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "fakes/fake_clock.h"
#include <memsweep/harness.h>
#include "sweep/sweep.h"

namespace {

class Kernel : public testing::Test {
protected:
    static void SetUpTestSuite() { init_data(data, DATA_ELEMS); }
};

// model walks the elements the way the kernel is meant to: four strided
// elements per pass while i < elems - 4 * stride, then one by one.
int64_t model(int elems, int stride)
{
    int64_t sum = 0, i = 0;
    for (; i < (int64_t)elems - 4 * stride; i += 4 * stride)
        for (int j = 0; j < 4; j++)
            sum += data[i + j * stride];
    for (; i < elems; i++)
        sum += data[i];
    return sum;
}

TEST_F(Kernel, SumsTheClosedFormCases)
{
    EXPECT_EQ(test(16, 1), 120);   // main loop for i = 0, 4, 8; tail 12 to 15
    EXPECT_EQ(test(16, 5), 120);   // limit negative: the tail reads all 16
    EXPECT_EQ(test(24, 5), 116);   // one pass reads 0, 5, 10, 15; tail 20 to 23
    EXPECT_EQ(test(20, 5), 190);   // elems = 4 * stride: all by the tail
    EXPECT_EQ(test(21, 5), 0 + 5 + 10 + 15 + 20);
    EXPECT_EQ(test(0, 3), 0);
    EXPECT_EQ(test(-5, 1), 0);
}

TEST_F(Kernel, SmallestWorkingSetAtStride15RunsThirtyFourPassesAndAnEightElementTail)
{
    // Passes at i = 0, 60, ..., 33 * 60; the tail adds 2040 to 2047.
    int64_t sum = 0;
    for (int p = 0; p < 34; p++)
        sum += 4 * 60 * p + 0 + 15 + 30 + 45;
    for (int e = 2040; e < 2048; e++)
        sum += e;
    EXPECT_EQ(test(2048, 15), (int)sum);
}

TEST_F(Kernel, MatchesTheModelOnEveryGridPointAndAroundTheLimits)
{
    for (int elems = 1 << 24; elems >= 1 << 11; elems >>= 1)
        for (int stride = 1; stride <= 15; stride++)
            ASSERT_EQ(test(elems, stride), (int)model(elems, stride)) << elems << " " << stride;
    for (int stride = 1; stride <= 7; stride++)
        for (int elems = 0; elems <= 70; elems++)
            ASSERT_EQ(test(elems, stride), (int)model(elems, stride)) << elems << " " << stride;
}

TEST_F(Kernel, WrapsTheSumToThirtyTwoBits)
{
    // 0 + 1 + ... + (2^24 - 1) = 2^47 - 2^23, whose low 32 bits are -2^23.
    EXPECT_EQ(test(DATA_ELEMS, 1), -(1 << 23));
}

TEST_F(Kernel, NeverReadsAtOrPastElems)
{
    const int64_t poison = int64_t(1) << 40;
    for (int elems : {100, 2048, 4093}) {
        for (int j = elems; j < elems + 64; j++)
            data[j] = poison;
        for (int stride = 1; stride <= 15; stride++)
            EXPECT_EQ(test(elems, stride), (int)model(elems, stride))
                << elems << " " << stride;
        for (int j = elems; j < elems + 64; j++)
            data[j] = j;
    }
}

TEST(InitData, StoresEachIndexAndNothingForNonPositiveCounts)
{
    int64_t a[6] = {-1, -1, -1, -1, -1, -1};
    init_data(a, 0);
    init_data(a, -5);
    for (int64_t v : a)
        EXPECT_EQ(v, -1);
    init_data(a, 5);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(a[i], i);
    EXPECT_EQ(a[5], -1);
}

TEST(Run, TurnsTheBestCountIntoMegabytesPerSecondInTheDocumentedOrder)
{
    fake_clock::reset(1000000.0);
    double mbs = run(1 << 27, 1, 1000.0);
    EXPECT_EQ(fake_clock::reads, 3);  // three equal samples converge at once
    char line[32];
    snprintf(line, sizeof line, "%.0f", mbs / 1000.0);
    EXPECT_EQ(std::string(line), "134");

    // Microseconds first, then bytes divided by them: (size / stride) is an
    // integer division.
    fake_clock::reset(3.0);
    EXPECT_EQ(run(1 << 14, 7, 2596.126), (double)((1 << 14) / 7) / (3.0 / 2596.126));
    EXPECT_EQ(fake_clock::reads, 3);  // a cycle counter: however few, no calls in a row
}

// A counter with a rate of its own that counts a call 3 times, in steps of
// 3, is read over 2, 4 ... calls in a row, until a window counts 100 steps
// or more (384 counts at 128 calls): the figure is one call's share of it.
TEST(Run, TimesCallsInARowWhereACounterOfItsOwnRateCountsTooFewSteps)
{
    fake_clock::reset();
    fake_clock::stated = 25.0;
    fake_clock::reading = [](int n) { return 3.0 * (double)(1 << (n / 3)); };
    EXPECT_EQ(run(1 << 14, 7, 25.0), (double)((1 << 14) / 7) / (3.0 / 25.0));
    EXPECT_EQ(fake_clock::reads, 3 * 8);
    EXPECT_EQ(run_in_row_steps(), 100.0);

    // One whose counts (150, 151) have no step above 1 reaches 100 steps
    // at once, and is read as a cycle counter is.
    fake_clock::reset();
    fake_clock::stated = 25.0;
    fake_clock::reading = [](int n) { return n % 3 == 1 ? 151.0 : 150.0; };
    EXPECT_EQ(run(1 << 14, 7, 25.0), (double)((1 << 14) / 7) / (150.0 / 25.0));
    EXPECT_EQ(fake_clock::reads, 3);

    // One that never advances leaves the figure infinite, as memsweep's
    // harness alone would, after the most calls in a row.
    fake_clock::reset(0.0);
    fake_clock::stated = 25.0;
    EXPECT_TRUE(std::isinf(run(64, 1, 25.0)));
    EXPECT_EQ(fake_clock::reads, 3 * 17);
    fake_clock::reset();
    EXPECT_EQ(run_in_row_steps(), 0.0);
}

}  // namespace
