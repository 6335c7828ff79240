// SPDX-License-Identifier: MIT
// The time-of-day timer and its measuring loop, against a scripted time of
// day, tick count and clock rate.  The harness unit is included here so that
// the tests can set and see its private state.
#include "harness/harness.cpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_os.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// fresh puts the timer back in its state at process start, with the fakes
// reset.
void fresh()
{
    fake_clock::reset();
    fake_os::reset();
    Mhz = 0.0;
    cyc_per_tick = 0.0;
    start_tick = 0;
    tstart = timeval{0, 0};
}

// elapsed scripts the time of day so that the n-th start/read pair spans
// us[n] microseconds (the last entry after that).
void elapsed(const std::vector<long> &us)
{
    fake_os::now = [us](int n) {
        long base = 1000000L * (n / 2 + 1);
        long span = us[std::min<size_t>((size_t)n / 2, us.size() - 1)];
        long t = base + (n % 2 == 1 ? span : 0);
        return timeval{t / 1000000, t % 1000000};
    };
}

// The function measured logs each call with how many times of day had been
// read before it.
std::vector<int> seen;
int probe(int, int)
{
    seen.push_back(fake_os::clock_reads);
    return 0;
}

TEST(TimeOfDay, ScalesMicrosecondsWithinTheSameSecond)
{
    fresh();
    Mhz = 2.0;
    fake_os::now = [](int n) { return n == 0 ? timeval{100, 200} : timeval{100, 700}; };
    start_counter_tod();
    EXPECT_EQ(get_counter_tod(), 1000.0);
}

TEST(TimeOfDay, AddsANegativeMicrosecondsDifferenceToTheSeconds)
{
    fresh();
    Mhz = 1.0;
    fake_os::now = [](int n) { return n == 0 ? timeval{100, 700} : timeval{101, 200}; };
    start_counter_tod();
    EXPECT_EQ(get_counter_tod(), 1e6 - 500);
}

TEST(TimeOfDay, ReadsZeroBeforeAnyStartWithoutMeasuringTheRate)
{
    fresh();
    EXPECT_EQ(get_counter_tod(), 0.0);
    EXPECT_EQ(fake_clock::rate_calls, 0);
}

TEST(TimeOfDay, MeasuresTheRateOnceQuietlyOverTenSeconds)
{
    fresh();
    fake_clock::rate = 2500.0;
    start_counter_tod();
    start_counter_tod();
    fcyc2_tod(probe, 0, 0, 0);
    EXPECT_EQ(fake_clock::rate_calls, 1);
    EXPECT_EQ(fake_clock::rate_verbose, 0);
    EXPECT_EQ(fake_clock::rate_sleeptime, 10);
    EXPECT_EQ(Mhz, 2500.0);
}

TEST(TimeOfDayLoop, CallsTheFunctionOncePerSampleInsideTheWindow)
{
    fresh();
    Mhz = 1.0;
    elapsed({40, 40, 40});
    seen.clear();
    EXPECT_EQ(fcyc2_tod(probe, 0, 0, 0), 40.0);
    EXPECT_EQ(samplecount, 3);
    EXPECT_EQ(seen, (std::vector<int>{1, 3, 5}));  // each call right after its start
    EXPECT_EQ(fake_os::clock_reads, 6);
}

TEST(TimeOfDayLoop, StopsAfterTwentySamplesWithTheSmallest)
{
    fresh();
    Mhz = 3.0;
    elapsed({100, 90, 150, 200, 300, 400, 500, 600});
    seen.clear();
    EXPECT_EQ(fcyc2_tod(probe, 0, 0, 0), 270.0);
    EXPECT_EQ(samplecount, 20);
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(has_converged(3, 0.01, 20), -1);
}

TEST(TimeOfDayLoop, TakesFullParametersAndTheCompensatedPair)
{
    fresh();
    Mhz = 1.0;
    cyc_per_tick = 5.0;
    elapsed({1000});
    // Ticks: start 0, reading 1 -> 5 cycles charged per sample.
    fake_os::ticks = [](int n) { return (uint64_t)(n - n / 2); };
    CaptureStdout();
    EXPECT_EQ(fcyc2_full_tod(probe, 0, 0, 99, 2, 7, 0.0, 1), 995.0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(samplecount, 2);
    EXPECT_EQ(fake_os::tick_reads, 4);
}

TEST(CompensatedTimeOfDay, ChargesTicksBetweenTheStartAndTheReading)
{
    fresh();
    Mhz = 2.0;
    cyc_per_tick = 4000.0;
    fake_os::now = [](int n) { return n == 0 ? timeval{5, 0} : timeval{5, 25000}; };
    fake_os::ticks = [](int n) { return n == 0 ? 7ULL : 10ULL; };
    start_comp_counter_tod();
    EXPECT_EQ(get_comp_counter_tod(), 50000.0 - 3 * 4000.0);

    fake_os::reset();
    fake_os::ticks = [](int) { return 3ULL; };
    start_comp_counter_tod();
    EXPECT_EQ(get_comp_counter_tod(), 2.0);  // no tick: the plain reading
}

TEST(CompensatedTimeOfDay, CalibratesSilentlyAfterReadingTheTicksFirst)
{
    fresh();
    fake_clock::rate = 1.0;  // one cycle per microsecond
    // 4000 microseconds between readings, one tick per look at the ticks.
    fake_os::now = [](int n) { return timeval{n * 4000 / 1000000, n * 4000 % 1000000}; };
    fake_os::ticks = [](int n) {
        fake_clock::log += 't';
        return (uint64_t)n;
    };
    CaptureStdout();
    start_comp_counter_tod();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(cyc_per_tick, 4000.0);
    EXPECT_EQ(fake_clock::log.substr(0, 3), "tMt");  // oldc, the rate, then the looks
    EXPECT_EQ(fake_clock::rate_calls, 1);
    EXPECT_EQ(fake_os::tick_reads, 102);
}

TEST(CompensatedTimeOfDay, CalibratesAgainWhileNoRatioWasAbove3000)
{
    fresh();
    Mhz = 1.0;
    fake_os::now = [](int n) { return timeval{0, n * 3000}; };
    start_comp_counter_tod();
    EXPECT_EQ(cyc_per_tick, 0.0);
    int reads = fake_os::clock_reads;
    fake_os::now = [](int n) { return timeval{n / 250, n % 250 * 4000}; };
    start_comp_counter_tod();
    EXPECT_GT(fake_os::clock_reads, reads + 100);
    EXPECT_EQ(cyc_per_tick, 4000.0);
}

TEST(SharedStore, EachKindOfMeasurementReplacesTheOther)
{
    fresh();
    Mhz = 1.0;
    fake_clock::reset(500.0);
    fcyc2(probe, 0, 0, 0);
    EXPECT_EQ(get_min(), 500.0);

    elapsed({60, 61, 80, 60});
    fcyc2_full_tod(probe, 0, 0, 0, 2, 20, 0.0, 0);
    EXPECT_EQ(get_min(), 60.0);
    EXPECT_EQ(samplecount, 4);
    EXPECT_EQ(std::vector<double>(samples, samples + 4), (std::vector<double>{60, 61, 80, 60}));

    fake_clock::reset(700.0);
    fcyc2(probe, 0, 0, 0);
    EXPECT_EQ(get_min(), 700.0);
    EXPECT_EQ(samplecount, 3);
}

}  // namespace
