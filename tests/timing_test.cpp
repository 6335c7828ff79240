// SPDX-License-Identifier: MIT
// The timing library on the real counter: plausibility, not exact values.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <memsweep/clock.h>
#include <memsweep/harness.h>

namespace {

int spin(int n, int)
{
    volatile unsigned x = 0;
    for (int i = 0; i < n; i++)
        x = x + (unsigned)i;
    return (int)(x & 0xff);
}

TEST(RealCounter, AdvancesAndAgreesWithTheHalvesItIsBuiltOn)
{
    unsigned hi0, lo0, hi1, lo1;
    access_counter(&hi0, &lo0);
    start_counter();
    spin(10000, 0);
    double c = get_counter();
    access_counter(&hi1, &lo1);
    uint64_t span = (((uint64_t)hi1 << 32) | lo1) - (((uint64_t)hi0 << 32) | lo0);
    // Ten thousand additions take some cycles, and fewer than the span
    // read around them.
    EXPECT_GT(c, 0.0);
    EXPECT_LT(c, (double)span);
}

TEST(RealCounter, OvhdIsBelowAnyTimedWorkAndRestartsTheCounter)
{
    start_counter();
    spin(10000000, 0);
    double spun = get_counter();
    double empty = ovhd();
    double after = get_counter();
    // The cheapest empty window costs far less than ten million additions,
    // and the reading right after it counts from ovhd's own restart, not
    // from the start before the spin.  (The margins leave room for valgrind
    // and for a preemption.)
    EXPECT_LT(empty, spun / 100);
    EXPECT_LT(after, spun / 2);
}

TEST(RealCounter, Fcyc2GrowsWithTheWork)
{
    double small = fcyc2(spin, 1000, 0, 0);
    double large = fcyc2(spin, 100000, 0, 0);
    EXPECT_GT(large, 10 * small);
}

TEST(RealCounter, TimedSleepAndCounterRateAgreeWithTheCounterTimedOnTheSystemClock)
{
    // All three count the same counter's cycles per microsecond: one across
    // a one-second sleep, one against CLOCK_MONOTONIC_RAW, and one across a
    // busy tenth of a second on the monotonic clock.  A late wake-up from the
    // sleep, even on a busy machine, adds far less than the tenth allowed; a
    // wrong unit would be off a thousandfold.
    auto t0 = std::chrono::steady_clock::now();
    start_counter();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(100)) {
    }
    double cycles = get_counter();
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    for (double rate : {mhz_full(0, 1), counter_mhz()}) {
        EXPECT_GT(rate / (cycles / us), 0.9);
        EXPECT_LT(rate / (cycles / us), 1.1);
    }
}

// Slow: the first compensated start calibrates for about ten seconds.
TEST(RealCompensatedCounter, CalibratesOnceAndMeasuresOneSample)
{
    testing::internal::CaptureStdout();
    double c = fcyc2_full(spin, 100000, 0, 0, 1, 1, 0.01, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Setting cyc_per_tick to ", 0), 0u) << out;
    EXPECT_EQ(get_min(), c);
    EXPECT_EQ(samplecount, 1);
}

// Slow: the first time-of-day start measures the clock rate over ten seconds.
TEST(RealTimeOfDay, MeasuresTheRateOnceAndAgreesWithTheCycleCounter)
{
    auto t0 = std::chrono::steady_clock::now();
    start_counter_tod();
    auto t1 = std::chrono::steady_clock::now();
    start_counter_tod();
    auto t2 = std::chrono::steady_clock::now();
    EXPECT_GT(std::chrono::duration<double>(t1 - t0).count(), 9.5);
    EXPECT_LT(std::chrono::duration<double>(t2 - t1).count(), 0.1);

    // One span read by both timers: the time of day, scaled by the rate it
    // measured, counts the counter's own cycles.  A preemption stretches
    // both alike.
    start_counter();
    start_counter_tod();
    spin(3000000, 0);
    double tod = get_counter_tod();
    double cyc = get_counter();
    EXPECT_GT(tod / cyc, 0.95);
    EXPECT_LT(tod / cyc, 1.05);

    // A call of a few milliseconds, far above the timer's microsecond.  On a
    // shared host the core itself runs a fifth slower for seconds at a time,
    // so the two harnesses take turns and the best of each is compared.
    double by_counter = 1e300, by_time = 1e300;
    for (int round = 0; round < 5; round++) {
        by_counter = std::min(by_counter, fcyc2(spin, 3000000, 0, 0));
        by_time = std::min(by_time, fcyc2_tod(spin, 3000000, 0, 0));
    }
    EXPECT_GT(by_time / by_counter, 0.8);
    EXPECT_LT(by_time / by_counter, 1.25);
}

}  // namespace
