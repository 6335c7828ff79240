// SPDX-License-Identifier: MIT
// The clock unit against a scripted counter, tick count and sleep.  The unit is
// included here so that the tests can reach its private reader and state.
#include "clock/clock.cpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_counter.h"
#include "fakes/fake_os.h"

namespace {

// reset_fakes scripts a counter that advances by tsc_step per reading and a
// tick count that advances by one per look.
void reset_fakes(uint64_t tsc_step = 1000)
{
    fake_counter::reset(tsc_step);
    fake_os::reset();
}

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char warning[] = "Can't open /proc/cpuinfo to get clock information\n";

/* ---------------------------------------------------------------- counter */

TEST(Counter, SubtractsHalvesWithABorrowAcrossAWrapOfTheLowHalf)
{
    reset_fakes();
    fake_counter::tsc = [](int n) {
        return n == 0 ? (1ULL << 32) + 0xFFFFFFF0ULL : (2ULL << 32) + 16;
    };
    start_counter();
    EXPECT_EQ(cyc_hi, 1u);
    EXPECT_EQ(cyc_lo, 0xFFFFFFF0u);
    EXPECT_EQ(get_counter(), 32.0);
}

TEST(Counter, IsZeroAtTheStartExactAtLargeCountsAndModuloTwoToThe64)
{
    reset_fakes();
    fake_counter::tsc = [](int) { return 0x123456789ULL; };
    start_counter();
    EXPECT_EQ(get_counter(), 0.0);

    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 5ULL : 5ULL + (1ULL << 53); };
    start_counter();
    EXPECT_EQ(get_counter(), 9007199254740992.0);

    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? ~0ULL - 9 : 5ULL; };
    start_counter();
    EXPECT_EQ(get_counter(), 15.0);
}

TEST(Counter, EveryReadingIsRelativeToTheLatestStart)
{
    reset_fakes(10);  // 0, 10, 20, ...
    start_counter();
    EXPECT_EQ(get_counter(), 10.0);
    EXPECT_EQ(get_counter(), 20.0);
    start_counter();  // at 30
    EXPECT_EQ(get_counter(), 10.0);
}

TEST(Counter, OvhdReportsTheCheapestEmptyWindowAndRestartsTheCounter)
{
    reset_fakes();
    // Every reading is 100 cycles after the one before, except the eighth,
    // which comes 70 after the seventh: the fourth (start, read) pair.
    fake_counter::tsc = [](int n) { return (uint64_t)(100 * n - (n >= 7 ? 30 : 0)); };
    EXPECT_EQ(ovhd(), 70.0);
    // One reading after a fresh start, not after an earlier one.
    EXPECT_EQ(get_counter(), 100.0);
}

/* ---------------------------------------------------------------- clock rate */

// A processor-information file written for one test.
class Cpuinfo : public testing::Test {
protected:
    // One file per process: ctest runs tests side by side.
    std::string path = testing::TempDir() + "memsweep_cpuinfo_" + std::to_string(getpid());

    void write(const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    // read runs the reader on the file and returns its result, with what it
    // printed on standard output and standard error.
    double read(int verbose, std::string *out, std::string *errtext)
    {
        CaptureStdout();
        CaptureStderr();
        double r = core_mhz_from(path.c_str(), verbose);
        fflush(stdout);
        *out = GetCapturedStdout();
        *errtext = GetCapturedStderr();
        return r;
    }

    void TearDown() override { remove(path.c_str()); }
};

TEST_F(Cpuinfo, ReadsTheFirstLineWithTwoTabsBeforeTheColon)
{
    write("processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 800.000\ncache size\t: 512 KB\n"
          "cpu MHz\t\t: 3000.000\n");
    std::string out, errtext;
    EXPECT_EQ(read(0, &out, &errtext), 800.0);
    EXPECT_EQ(cpu_ghz, 0.8);
    EXPECT_EQ(out, "");
    EXPECT_EQ(errtext, "");

    EXPECT_EQ(read(1, &out, &errtext), 800.0);
    EXPECT_EQ(out, "Processor Clock Rate ~= 0.8000 GHz (extracted from file)\n");
}

TEST_F(Cpuinfo, ReturnsTheRateComputedBackFromGigahertz)
{
    write("cpu MHz\t\t: 1000.001\n");
    std::string out, errtext;
    double r = read(0, &out, &errtext);
    EXPECT_EQ(r, (1000.001 / 1000.0) * 1000.0);
    EXPECT_NE(r, 1000.001);
}

TEST_F(Cpuinfo, FallsBackToOneGigahertzWhenTheFileGivesNoRate)
{
    const char *files[] = {
        "processor\t: 0\ncpu MHz\t\t: Unknown\n",                    // current kernels, some hypervisors
        "processor\t: 0\nBogoMIPS\t: 48.00\nFeatures\t: fp asimd\n",  // arm64: no such line
        "cpu MHz\t\t: 0.000\ncpu MHz\t\t: 2400.000\n",               // a later good line does not count
        " cpu MHz\t: 2400.000\n",                                     // not at the line's start
        "model name\t: cpu MHz\t: 2400.000\ncpu MHz\t\t: 2400.000\n",
        "",
        // Rates no table can be computed with.
        "cpu MHz\t\t: -2400.000\n",
        "cpu MHz\t\t: nan\n",
        "cpu MHz\t\t: inf\n",
        "cpu MHz\t\t: 1e999\n",
    };
    for (const char *text : files) {
        write(text);
        std::string out, errtext;
        cpu_ghz = 7.0;
        EXPECT_EQ(read(1, &out, &errtext), 1000.0) << text;
        EXPECT_EQ(cpu_ghz, 1.0) << text;
        EXPECT_EQ(errtext, warning) << text;
        EXPECT_EQ(out, "") << text;
    }
}

// 64-bit Arm's cpuinfo has no such line, and its counter states its rate:
// that rate converts the counts, with no warning.  A line, or no file at
// all, is read as ever.
TEST_F(Cpuinfo, TakesTheCounterStatedRateWhereTheFileHasNoLine)
{
    fake_counter::stated_mhz = 25.0;
    write("processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd\nCPU implementer\t: 0x41\n");
    std::string out, errtext;
    EXPECT_EQ(read(0, &out, &errtext), 25.0);
    EXPECT_EQ(cpu_ghz, 0.025);
    EXPECT_EQ(errtext, "");
    EXPECT_EQ(read(1, &out, &errtext), 25.0);
    EXPECT_NE(out.find("stated"), std::string::npos) << out;
    write("cpu MHz\t\t: 800.000\n");
    EXPECT_EQ(read(0, &out, &errtext), 800.0);
    remove(path.c_str());
    EXPECT_EQ(read(0, &out, &errtext), 2147.483656);
    EXPECT_EQ(errtext, warning);
    fake_counter::stated_mhz = 0.0;
}

TEST_F(Cpuinfo, ReadsLongLinesInPiecesOf511Characters)
{
    std::string flags = "flags\t\t: " + std::string(1500, 'x') + "\n";
    write(flags + "cpu MHz\t\t: 2400.000\n");
    std::string out, errtext;
    EXPECT_EQ(read(0, &out, &errtext), 2400.0);
    EXPECT_EQ(errtext, "");

    // A piece that begins with the text counts as a line of its own.
    write(std::string(511, 'y') + "cpu MHz\t: 1234.5 and more\n");
    EXPECT_EQ(read(0, &out, &errtext), 1234.5);
}

TEST_F(Cpuinfo, FallsBackToTheOtherRateWhenThereIsNoFile)
{
    std::string out, errtext;
    cpu_ghz = 7.0;
    EXPECT_EQ(read(1, &out, &errtext), 2147.483656);  // no file written
    EXPECT_EQ(cpu_ghz, 2.147483656);
    EXPECT_EQ(errtext, warning);
    EXPECT_EQ(out, "");
}

TEST_F(Cpuinfo, MhzAndCoreMhzReadTheSameFileAndPrintTheSame)
{
    write("processor\t: 0\ncpu MHz\t\t: 800.000\n");
    const char *real = cpuinfo_path;
    cpuinfo_path = path.c_str();
    for (bool by_mhz : {false, true}) {
        cpu_ghz = 0.0;
        CaptureStdout();
        EXPECT_EQ(by_mhz ? mhz(1) : core_mhz(1), 800.0);
        fflush(stdout);
        EXPECT_EQ(GetCapturedStdout(), "Processor Clock Rate ~= 0.8000 GHz (extracted from file)\n");
        EXPECT_EQ(cpu_ghz, 0.8);
    }
    cpuinfo_path = real;
}

TEST(ClockRate, TimedSleepCountsCyclesPerMicrosecondSlept)
{
    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 1000ULL : 1000ULL + 2500000000ULL; };
    CaptureStdout();
    double r = mhz_full(1, 1);
    EXPECT_EQ(GetCapturedStdout(), "Processor Clock Rate ~= 2500.0 MHz\n");
    EXPECT_EQ(r, 2500.0);
    EXPECT_EQ(fake_os::slept, std::vector<unsigned>{1});

    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 0ULL : 26000000000ULL; };
    CaptureStdout();
    EXPECT_EQ(mhz_full(0, 10), 2600.0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(fake_os::slept, std::vector<unsigned>{10});
}

/* ---------------------------------------------------------------- calibration */

// calibrate runs one compensated start from an uncalibrated state and
// returns what it printed.
std::string calibrate()
{
    cyc_per_tick = 0.0;
    CaptureStdout();
    start_comp_counter();
    fflush(stdout);
    return GetCapturedStdout();
}

// stretches scripts a counter whose first readings (the start, then oldt)
// are 0 and whose n-th stretch after them is stretch(n) cycles long.
void stretches(std::function<uint64_t(int)> stretch)
{
    fake_counter::tsc = [=](int n) {
        uint64_t at = 0;
        for (int i = 1; i < n; i++)
            at += stretch(i);
        return at;
    };
}

TEST(Calibration, WatchesOneHundredTickMovementsAndPrintsTheResult)
{
    reset_fakes(4000);  // 4000 cycles between readings, one tick per look
    EXPECT_EQ(calibrate(), "Setting cyc_per_tick to 4000.000000\n");
    EXPECT_EQ(cyc_per_tick, 4000.0);

    // The 100th stretch is the last one watched: a shorter 101st is not.
    for (int last : {100, 101}) {
        reset_fakes();
        stretches([=](int n) { return n == last ? 3500 : 5000; });
        calibrate();
        EXPECT_EQ(cyc_per_tick, last == 100 ? 3500.0 : 5000.0) << last;
    }
}

TEST(Calibration, NeverTakesARatioOfExactly3000)
{
    reset_fakes(3000);
    EXPECT_EQ(calibrate(), "Setting cyc_per_tick to 0.000000\n");
    // Still uncalibrated: the next compensated start calibrates again.
    CaptureStdout();
    start_comp_counter();
    EXPECT_EQ(GetCapturedStdout(), "Setting cyc_per_tick to 0.000000\n");
}

TEST(Calibration, KeepsTheSmallestRatioAbove3000)
{
    reset_fakes();
    // Stretches of 5000, 4000 and 6000 cycles, then 10000 each, one tick apiece.
    fake_counter::tsc = [](int n) -> uint64_t {
        const uint64_t first[] = {0, 0, 5000, 9000, 15000};
        return n < 5 ? first[n] : 15000 + 10000 * (uint64_t)(n - 4);
    };
    EXPECT_EQ(calibrate(), "Setting cyc_per_tick to 4000.000000\n");
}

TEST(Calibration, AStretchWithoutATickIsNoEventButMovesTheStartOfTheNext)
{
    reset_fakes();
    fake_counter::tsc = [](int n) -> uint64_t {
        const uint64_t first[] = {0, 0, 5000, 9000};
        return n < 4 ? first[n] : 9000 + 10000 * (uint64_t)(n - 3);
    };
    // The first look sees no tick; from the second on, one tick per look.
    fake_os::ticks = [](int n) -> uint64_t { return n <= 1 ? 0 : (uint64_t)(n - 1); };
    calibrate();
    EXPECT_EQ(cyc_per_tick, 4000.0);  // 9000 - 5000, not 9000 - 0
}

TEST(Calibration, LooksAtTheTicksOnlyAfterAtLeast1000Cycles)
{
    // A reading 999 cycles after oldt is no look, so the next one, 4000
    // cycles after oldt, gives 4000 cycles per tick.  A reading 1000 cycles
    // after it is a look (its 1000 per tick is too few to count), and the
    // next stretch is then 3001 cycles long.
    for (uint64_t first : {999, 1000}) {
        reset_fakes();
        stretches([=](int n) { return n == 1 ? first : n == 2 ? 4000 - 999 : 10000; });
        calibrate();
        EXPECT_EQ(cyc_per_tick, first == 999 ? 4000.0 : 3001.0) << first;
    }
}

TEST(Calibration, DividesByTheTicksMoved)
{
    reset_fakes(16000);
    fake_os::ticks = [](int n) { return 4 * (uint64_t)n; };
    calibrate();
    EXPECT_EQ(cyc_per_tick, 4000.0);
}

/* ---------------------------------------------------------------- compensated counter */

TEST(CompensatedCounter, ChargesCalibratedCyclesForEveryTickThatPassed)
{
    reset_fakes(4000);
    calibrate();
    ASSERT_EQ(cyc_per_tick, 4000.0);

    // Calibrated: the start reads the ticks, then the counter; no printing.
    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 1000ULL : 51000ULL; };
    fake_os::ticks = [](int n) { return n == 0 ? 7ULL : 10ULL; };
    CaptureStdout();
    start_comp_counter();
    EXPECT_EQ(get_comp_counter(), 50000.0 - 3 * 4000.0);
    EXPECT_EQ(GetCapturedStdout(), "");

    // No tick passed: the plain elapsed cycles.
    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 0ULL : 2000ULL; };
    fake_os::ticks = [](int) { return 9ULL; };
    start_comp_counter();
    EXPECT_EQ(get_comp_counter(), 2000.0);

    // More ticks than cycles: negative.
    reset_fakes();
    fake_counter::tsc = [](int n) { return n == 0 ? 0ULL : 100ULL; };
    start_comp_counter();
    EXPECT_EQ(get_comp_counter(), 100.0 - 4000.0);
}

/* ---------------------------------------------------------------- counter rate */

// script_rate scripts a counter at 2400 MHz (12 cycles per 5 ns) and a raw
// clock for counter_mhz.  Its k-th bracketed reading (eight tries of
// counter, clock, counter) falls after 4 + 8 + ... ms of sleep, and the
// clock reads clock_error(k) ns late there.  Only try 5 of each reading is
// tight; every other try is a wide bracket around a clock read late by a
// different amount in every reading.
void script_rate(std::function<int64_t(int)> clock_error)
{
    reset_fakes();
    auto true_ns = [](int k) { return 4000000 * ((int64_t(1) << k) - 1); };
    fake_os::raw_ns = [=](int n) {
        int k = n / 8, i = n % 8;
        return 1000000000000 + true_ns(k) + clock_error(k) + (i == 5 ? 0 : 50000 * (i + 1) * (k + 1));
    };
    fake_counter::tsc = [=](int n) {
        int k = n / 16, i = n % 16 / 2;
        uint64_t middle = (uint64_t(1) << 40) + (uint64_t)(true_ns(k) * 12 / 5);
        uint64_t half_width = i == 5 ? 10 : 1000 * (uint64_t)(i + 1);
        return n % 2 == 0 ? middle - half_width : middle + half_width;
    };
}

TEST(CounterRate, DividesCyclesByNanosecondsOfTheTightestBracketsAndLeavesTheStartAlone)
{
    reset_fakes();
    fake_counter::tsc = [](int) { return 0x123456789abcULL; };
    start_counter();  // a measurement under way
    unsigned hi = cyc_hi, lo = cyc_lo;
    script_rate([](int) { return 0; });

    EXPECT_EQ(counter_mhz(), 2400.0);
    EXPECT_EQ(fake_os::naps, (std::vector<int64_t>{4000000, 8000000}));  // agreed at once
    EXPECT_EQ(cyc_hi, hi);
    EXPECT_EQ(cyc_lo, lo);
}

TEST(CounterRate, StretchesTheIntervalUntilTwoEstimatesAgreeOrTimeRunsOut)
{
    // 1e-3 off after 4 ms, 1e-5 after 12 ms, exact from 28 ms on.
    script_rate([](int k) { return k == 1 ? 4000 : k == 2 ? 120 : 0; });
    EXPECT_EQ(counter_mhz(), 2400.0);
    EXPECT_EQ(fake_os::naps, (std::vector<int64_t>{4000000, 8000000, 16000000, 32000000}));

    // Never two alike: the estimate after 124 ms, as no 128 ms interval fits
    // into 0.2 s.
    script_rate([](int k) { return 1000 * (k % 2); });
    EXPECT_DOUBLE_EQ(counter_mhz(), 2400.0 * 124e6 / (124e6 + 1000));
    EXPECT_EQ(fake_os::naps.size(), 5u);
}

TEST(CounterRate, IsZeroWhenTheClockFailsOrStandsStill)
{
    for (int failing_call : {0, 7, 8, 20}) {
        script_rate([](int) { return 0; });
        auto clock = fake_os::raw_ns;
        fake_os::raw_ns = [=](int n) { return n == failing_call ? -1 : clock(n); };
        EXPECT_EQ(counter_mhz(), 0.0) << failing_call;
    }
    script_rate([](int) { return 0; });
    fake_os::raw_ns = [](int) { return 5000000000; };
    EXPECT_EQ(counter_mhz(), 0.0);
}

}  // namespace
