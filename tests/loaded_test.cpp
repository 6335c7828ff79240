// SPDX-License-Identifier: MIT
// The loaded latency: where its delays go on a made-up curve, its knee and
// summary on made-up points, its team on made-up machines, its record, and
// one real point on this machine (no figure is judged).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "bandwidth/bandwidth.h"
#include "clock/clock.h"
#include "latency/chase.h"
#include "latency/loaded.h"
#include "common/memory.h"
#include "record/model.h"
#include "machine/machine.h"
#include "tools.h"

namespace
{

using latency::idle_delay;
using latency::LoadedPoint;

const uint64_t KiB = 1024, MiB = KiB * 1024;

LoadedPoint point(uint64_t delay, double gbs, double ns)
{
    LoadedPoint p;
    p.delay = delay;
    p.load_gbs = gbs;
    p.ns = ns;
    return p;
}

// ====================== Where the delays go ======================

// A made-up machine: a loader's block takes `block` cycles at full load,
// its rate falls as block / (block + delay), and the latency climbs
// steeply as the load nears the memory's limit of 20 GB/s.
// With flat set, the latency doesn't climb at all, and only a noise of -3
// to +4 %, which follows no order, moves it.
struct Curve {
    double block = 20000.0, full = 18.0, idle = 100.0;
    bool flat = false;
    LoadedPoint at(uint64_t delay) const
    {
        if (delay == idle_delay)
            return point(delay, 0.0, idle);
        double gbs = full * block / (block + (double)delay);
        if (flat)
            return point(delay, gbs, idle * (0.97 + 0.01 * (double)((delay * 0x9e3779b97f4a7c15u) >> 61)));
        return point(delay, gbs, idle + 30.0 * gbs / (20.0 - gbs));
    }
};

// placed runs next_delay against a curve as the probing run does.
std::vector<LoadedPoint> placed(const Curve &c, const latency::DelayRule &rule)
{
    std::vector<LoadedPoint> points{c.at(idle_delay), c.at(0)};
    for (int guard = 0; guard < 1000; guard++) {
        std::optional<uint64_t> d = latency::next_delay(points, rule);
        if (!d)
            return points;
        points.push_back(c.at(*d));
    }
    ADD_FAILURE() << "next_delay never ends";
    return points;
}

// widest_gap is the largest step between neighbours by delay, each axis over
// its range, as the placement sees it.
double widest_gap(std::vector<LoadedPoint> points)
{
    std::sort(points.begin(), points.end(), [](const auto &a, const auto &b) { return a.delay < b.delay; });
    double top = 0.0, lo = 1e300, hi = 0.0;
    for (const auto &p : points) {
        top = std::max(top, p.load_gbs);
        lo = std::min(lo, p.ns);
        hi = std::max(hi, p.ns);
    }
    double widest = 0.0;
    for (size_t i = 1; i < points.size(); i++)
        widest = std::max(widest, std::hypot((points[i].load_gbs - points[i - 1].load_gbs) / top,
                                             (points[i].ns - points[i - 1].ns) / (hi - lo)));
    return widest;
}

TEST(LoadedDelays, CoarseDoublingThenTheWidestGapsUntilTheCount)
{
    Curve c;
    latency::DelayRule rule;
    rule.first = 20000;
    std::vector<LoadedPoint> points = placed(c, rule);

    std::vector<uint64_t> delays;
    for (const auto &p : points)
        if (p.delay != idle_delay)
            delays.push_back(p.delay);
    ASSERT_EQ((int)delays.size(), rule.most);
    EXPECT_EQ(std::set<uint64_t>(delays.begin(), delays.end()).size(), delays.size())
        << "a delay measured twice";
    // The coarse set, in the order measured: the block's time, doubled until
    // the load is 5 % of the full one (at 32 blocks' time: 3 %).
    EXPECT_EQ(std::vector<uint64_t>(delays.begin(), delays.begin() + 7),
              (std::vector<uint64_t>{0, 20000, 40000, 80000, 160000, 320000, 640000}));

    // The splits went where the curve moves most: near full load, where the
    // latency climbs, rather than in the flat tail beyond the coarse set's
    // fourth delay.
    std::vector<LoadedPoint> coarse(points.begin(), points.begin() + 8);
    EXPECT_LT(widest_gap(points), widest_gap(coarse) * 0.75);
    int near_full =
        (int)std::count_if(delays.begin() + 7, delays.end(), [](uint64_t d) { return d < 80000; });
    EXPECT_GE(near_full, 3);
}

// A curve that stays flat (one loader can't load the memory) spreads its
// splits over the load, rather than crowding them where the noise of the
// latency happens to be loudest.
TEST(LoadedDelays, AFlatCurveSpreadsItsDelaysOverTheLoad)
{
    Curve c;
    c.flat = true;
    latency::DelayRule rule;
    rule.first = 20000;
    std::vector<LoadedPoint> points = placed(c, rule);
    std::vector<uint64_t> delays;
    for (const auto &p : points)
        if (p.delay != idle_delay && p.delay != 0)
            delays.push_back(p.delay);
    std::sort(delays.begin(), delays.end());
    ASSERT_GE(delays.size(), 2u);
    for (size_t i = 1; i < delays.size(); i++)
        EXPECT_GT((double)delays[i], 1.1 * (double)delays[i - 1]) << delays[i - 1] << " and " << delays[i];
}

TEST(LoadedDelays, EndsWhereNoGapCanBeSplitAndWhereTheLoadNeverFalls)
{
    // Delays one cycle apart can't be split: the placement stops short of
    // its count rather than measuring a delay again.
    latency::DelayRule rule;
    rule.first = 1;
    rule.doublings = 1;
    std::vector<LoadedPoint> tight{point(idle_delay, 0, 100), point(0, 10, 300), point(1, 9.9, 290),
                                   point(2, 9.8, 280)};
    std::optional<uint64_t> d = latency::next_delay(tight, rule);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, 4u) << "only the gap to idle can be split";

    // A load that does not fall with the delay ends the coarse set at its
    // reach, and the whole placement at its count, each delay once.
    Curve flat;
    flat.block = 1e30;
    rule = latency::DelayRule();
    rule.first = 1000;
    rule.doublings = 3;
    std::vector<LoadedPoint> points = placed(flat, rule);
    EXPECT_EQ((int)points.size(), rule.most + 1);
    std::set<uint64_t> seen;
    for (const auto &p : points)
        EXPECT_TRUE(seen.insert(p.delay).second) << p.delay;

    // Without the full load's point there is nothing to place from.
    EXPECT_FALSE(latency::next_delay({point(idle_delay, 0, 100)}, rule).has_value());
}

TEST(LoadedDelays, TheFirstDelayIsABlocksTimeAtFullLoad)
{
    // 64 KiB at 10 GB/s for each of 2 loaders: 6.55 us, 13107 cycles at
    // 2000 MHz.
    EXPECT_EQ(latency::first_delay(64 * KiB, 2, 20.0, 2000.0), 13107u);
    EXPECT_EQ(latency::first_delay(64 * KiB, 2, 0.0, 2000.0), 1u);
    EXPECT_EQ(latency::first_delay(64 * KiB, 0, 20.0, 2000.0), 1u);
}

// ====================== The knee and the summary ======================

TEST(LoadedKnee, NoneOneFlatAndACrossing)
{
    EXPECT_FALSE(latency::knee_of({}).found);
    latency::Knee one = latency::knee_of({point(idle_delay, 0, 100)});
    EXPECT_FALSE(one.found);
    EXPECT_EQ(one.gbs, 0.0);

    latency::Knee flat = latency::knee_of({point(0, 18, 150), point(idle_delay, 0, 100), point(1000, 9, 120)});
    EXPECT_FALSE(flat.found);
    EXPECT_EQ(flat.gbs, 18.0) << "without a knee, the highest load";

    // Twice idle (200 ns) lies halfway between 150 ns at 5 GB/s and 250 ns
    // at 10, walking from idle towards full load; the full load's 180 ns,
    // measured at a higher load, changes nothing.
    latency::Knee crossing =
        latency::knee_of({point(0, 12, 180), point(100, 10, 250), point(idle_delay, 0, 100),
                         point(10000, 5, 150), point(100000, 1, 110)});
    ASSERT_TRUE(crossing.found);
    EXPECT_DOUBLE_EQ(crossing.gbs, 7.5);

    // Without an idle point there is nothing to double.
    EXPECT_FALSE(latency::knee_of({point(0, 12, 500), point(1000, 5, 100)}).found);
}

// A crossing is clear of the spread only where every pass past it crosses
// and none before it does; medians alone count as their own spread.
TEST(LoadedKnee, IsClearOnlyWhereThePassesAroundItAgree)
{
    auto spread = [](LoadedPoint p, double low, double high) {
        p.ns_min = low;
        p.ns_max = high;
        return p;
    };
    std::vector<LoadedPoint> curve = {point(idle_delay, 0, 100), point(10000, 5, 150), point(100, 10, 250)};
    EXPECT_TRUE(latency::knee_of(curve).clear);
    curve[1] = spread(curve[1], 140, 190);
    curve[2] = spread(curve[2], 210, 260);
    EXPECT_TRUE(latency::knee_of(curve).clear);
    curve[1] = spread(curve[1], 140, 205);  // a pass before it already crossed
    EXPECT_FALSE(latency::knee_of(curve).clear);
    EXPECT_TRUE(latency::knee_of(curve).found);
    curve[1] = spread(curve[1], 140, 190);
    curve[2] = spread(curve[2], 180, 260);  // a pass past it did not
    EXPECT_FALSE(latency::knee_of(curve).clear);
}

latency::LoadedSeries series(const std::string &kernel, uint64_t delay, std::vector<double> gbs,
                            std::vector<double> ns)
{
    latency::LoadedSeries s;
    s.kernel = kernel;
    s.delay = delay;
    s.load_gbs = std::move(gbs);
    s.ns = std::move(ns);
    return s;
}

TEST(LoadedSummary, IdleFullLoadPeakAndKnee)
{
    std::vector<latency::LoadedSeries> all{series("vector-read", 0, {18, 17, 19}, {150, 160, 140}),
                                          series("", idle_delay, {}, {110, 111, 109}),
                                          series("vector-read", 5000, {14, 15, 16}, {240, 230, 220}),
                                          series("copy", 0, {30, 30, 30}, {500, 500, 500})};
    std::string line = latency::loaded_summary(all, 22.5);
    EXPECT_EQ(line.rfind("loaded latency: ", 0), 0u) << line;
    EXPECT_NE(line.find("idle 110 ns"), std::string::npos) << line;
    EXPECT_NE(line.find("150 ns at 18.0 GB/s (80 % of peak)"), std::string::npos) << line;
    // Twice 110 ns, 220 ns, lies between idle and 230 ns at 15 GB/s (at
    // 13.75 GB/s): the copy's 500 ns plays no part.
    EXPECT_NE(line.find("knee at 13.8 GB/s"), std::string::npos) << line;

    // Without the plane's figure the peak is the curve's highest load; a
    // curve that never doubles says how far it was measured.
    all[2] = series("vector-read", 5000, {4, 4, 4}, {120, 120, 120});
    line = latency::loaded_summary(all, 0.0);
    EXPECT_NE(line.find("(100 % of peak)"), std::string::npos) << line;
    EXPECT_NE(line.find("no knee below 18.0 GB/s"), std::string::npos) << line;

    // Without a full load of the vector read, or without idle, no line.
    EXPECT_EQ(latency::loaded_summary({all[1], all[3]}, 0.0), "");
    EXPECT_EQ(latency::loaded_summary({all[0], all[2]}, 0.0), "");
}

// ====================== The record ======================

TEST(LoadedRecord, IdleFirstThenEachKernelByDelayWithMedianAndRange)
{
    record::Session s;
    s.passes.loaded = {{"vector-read", 8000}, {"copy", 0}, {"vector-read", 0}, {"", idle_delay}};
    s.passes.loaded_gbs = {{6, 5, 7}, {20, 21, 19}, {18, 17, 19}, {}};
    s.passes.loaded_ns = {{130, 120, 125}, {300, 310, 290}, {150, 160, 140}, {110, 111, 109}};
    std::vector<format::LoadedLatencyPoint> list = record::model_of(s).loaded;
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].delay, idle_delay);
    EXPECT_EQ(list[0].load_gbs, 0.0);
    EXPECT_TRUE(list[0].load_passes.empty());
    EXPECT_EQ(list[0].ns.median, 110.0);
    EXPECT_EQ(list[0].ns.min, 109.0);
    EXPECT_EQ(list[0].ns.max, 111.0);

    std::vector<std::pair<std::string, uint64_t>> order;
    for (size_t i = 1; i < list.size(); i++)
        order.emplace_back(list[i].kernel, list[i].delay);
    EXPECT_EQ(order, (std::vector<std::pair<std::string, uint64_t>>{
                         {"vector-read", 0}, {"vector-read", 8000}, {"copy", 0}}));
    EXPECT_EQ(list[2].load_gbs, 6.0);
    EXPECT_EQ(list[2].ns.median, 125.0);
    EXPECT_EQ(list[2].ns.passes, (std::vector<double>{130, 120, 125}));
    // The loaders' figure of every pass beside the chase's.
    EXPECT_EQ(list[1].load_passes, (std::vector<double>{18, 17, 19}));
}

// ====================== The team ======================

class LoadedCpus : public testing::Test
{
   protected:
    TempFolder dir;
    void quota(const std::string &cpu_max)
    {
        dir.put("/proc/self/cgroup", "0::/session\n");
        dir.put("/sys/fs/cgroup/session/cpu.max", cpu_max + "\n");
    }
};

TEST_F(LoadedCpus, OneCpuOrAQuotaBelowTwoSkipsWithOneNote)
{
    latency::LoadedCpus alone = latency::loaded_cpus(dir.path, {3}, 3);
    EXPECT_TRUE(alone.cpus.empty());
    EXPECT_NE(alone.note.find("CPU 3"), std::string::npos) << alone.note;

    quota("150000 100000");
    latency::LoadedCpus held = latency::loaded_cpus(dir.path, {0, 1, 2, 3}, 1);
    EXPECT_TRUE(held.cpus.empty());
    EXPECT_NE(held.note.find("1.5 CPUs"), std::string::npos) << held.note;
    for (const auto &c : {alone, held})
        EXPECT_EQ(c.note.find('\n'), std::string::npos) << "one line";
}

TEST_F(LoadedCpus, TheChaserFirstThenTheLoadersTheQuotaAllows)
{
    EXPECT_EQ(latency::loaded_cpus(dir.path, {0, 1, 2}, 1).cpus, (std::vector<int>{1, 0, 2}));
    // The chaser's CPU need not be among the loaders' order's firsts.
    EXPECT_EQ(latency::loaded_cpus(dir.path, {0, 1}, 0).cpus, (std::vector<int>{0, 1}));

    quota("250000 100000");
    latency::LoadedCpus two = latency::loaded_cpus(dir.path, {0, 1, 2, 3}, 2);
    EXPECT_EQ(two.cpus, (std::vector<int>{2, 0}));
    EXPECT_EQ(two.note, "");
}

TEST(LoadedSizes, TheLoadersBuffersFitHalfTheFreeMemory)
{
    EXPECT_EQ(latency::load_bytes_of(128 * MiB, 3, memsweep::memory_room(-1.0)), 128 * MiB);
    EXPECT_EQ(latency::load_bytes_of(128 * MiB, 3, memsweep::memory_room(4096.0)), 128 * MiB);
    EXPECT_EQ(latency::load_bytes_of(128 * MiB, 4, memsweep::memory_room(512.0)), 64 * MiB);
    EXPECT_EQ(latency::load_bytes_of(128 * MiB, 4, memsweep::memory_room(0.0)), latency::loaded_block);
    EXPECT_EQ(latency::load_bytes_of(100 * KiB, 1, memsweep::memory_room(-1.0)), 64 * KiB) << "whole blocks";
}

int first_allowed_cpu()
{
    std::vector<int> cpus = machine::allowed_cpus();
    return cpus.empty() ? 0 : cpus.front();
}

bandwidth::Machine real_machine()
{
    bandwidth::Machine m;
    m.pin = machine::pin;
    m.map = machine::map_buffer;
    m.unmap = machine::unmap_buffer;
    return m;
}

TEST(LoadedTeam, ALoadInBlocksCountsTheBlocksItMoved)
{
    std::vector<int> allowed = machine::allowed_cpus();
    ASSERT_FALSE(allowed.empty());
    bandwidth::Team team({allowed.front()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    team.start_load(bandwidth::choose(bandwidth::Kernel::vector_read, bandwidth::isas().front(), bandwidth::best_isa()).fn, 256 * KiB, 0, 0, 64 * KiB);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bandwidth::Load l = team.stop_load();
    EXPECT_EQ(l.error, "");
    EXPECT_GT(l.bytes, 0u);
    EXPECT_EQ(l.bytes % (64 * KiB), 0u);

    // A block larger than the working set is no load at all.
    team.start_load(bandwidth::choose(bandwidth::Kernel::vector_read, bandwidth::isas().front(), bandwidth::best_isa()).fn, 64 * KiB, 0, 0, 128 * KiB);
    EXPECT_NE(team.stop_load().error, "");
}

// A stand-in for the chase: 100 cycles a load, but 300 in its call
// number slow_call (from 0), as when other work takes the chaser's CPU.
int chase_calls = 0, slow_call = 0;
double one_slow_chase(const void *, const void **, int)
{
    return chase_calls++ == slow_call ? 300.0 : 100.0;
}

latency::LoadedWindow window(double ns, double gbs, double grain = 0.0)
{
    latency::LoadedWindow w;
    w.ns = ns;
    w.load_gbs = gbs;
    w.grain_gbs = grain;
    return w;
}

TEST(LoadedWindows, TheFastestChaseAmongTheFullyLoadedWindows)
{
    // A window slowed by other work on the chaser's CPU, one where other work
    // held the loader back (a lighter load, a faster chase), and the point's
    // window: the fastest of those under the whole load.
    latency::LoadedWindow best =
        latency::best_window({window(150, 10), window(400, 10), window(100, 4), window(140, 9.5), window(160, 10.2)});
    EXPECT_EQ(best.ns, 140.0);
    EXPECT_EQ(best.load_gbs, 9.5);
    // A block more or less is within the count's grain.
    EXPECT_EQ(latency::best_window({window(150, 10), window(120, 8.5, 0.6)}).ns, 120.0);
    EXPECT_EQ(latency::best_window({window(150, 10), window(120, 8.5, 0.4)}).ns, 150.0);
    // Idle: every window, and none without a time.
    EXPECT_EQ(latency::best_window({window(110, 0), window(0, 0), window(std::nan(""), 0), window(105, 0)}).ns, 105.0);
    EXPECT_EQ(latency::best_window({window(0, 3), window(-1, 5)}).ns, 0.0);
    EXPECT_EQ(latency::best_window({}).ns, 0.0);
}

// A point's figure is not the one a disturbance lands in, wherever among
// its windows it falls.
TEST(LoadedWindows, OneDisturbedWindowLeavesTheUndisturbedFigure)
{
    bandwidth::Team team({first_allowed_cpu()}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    ASSERT_EQ(team.error(), "");
    latency::LoadedSetup setup;
    setup.bytes = 128 * MiB;
    setup.mhz = 1000.0;
    setup.chase = one_slow_chase;
    for (slow_call = 0; slow_call < 3; slow_call++) {
        chase_calls = 0;
        LoadedPoint idle = latency::measure_loaded(team, setup, nullptr, idle_delay);
        EXPECT_EQ(idle.error, "");
        EXPECT_DOUBLE_EQ(idle.ns, 100.0) << "the slow window is call " << slow_call;
    }
}

// A loader that reads nothing and counts its calls, and a chase that
// lasts until the loader has begun two calls, so that one of them ends in
// every window.
std::atomic<uint64_t> loader_calls{0};
uint64_t counting_loader(void *, size_t)
{
    return loader_calls.fetch_add(1) + 1;
}
double chase_beside_loader(const void *, const void **, int)
{
    const uint64_t seen = loader_calls.load();
    while (loader_calls.load() < seen + 2)
        std::this_thread::yield();
    return 100.0;
}

// The loaders' figure is what they moved in the chase's windows.
TEST(LoadedWindows, TheLoadIsMeasuredOverTheChasesWindows)
{
    const int cpu = first_allowed_cpu();
    bandwidth::Team team({cpu, cpu}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
    ASSERT_EQ(team.error(), "");
    latency::LoadedSetup setup;
    setup.bytes = 128 * MiB;
    setup.load_bytes = latency::loaded_block;
    setup.mhz = 1000.0;
    setup.chase = chase_beside_loader;
    LoadedPoint full = latency::measure_loaded(team, setup, counting_loader, 0);
    EXPECT_EQ(full.error, "");
    EXPECT_EQ(full.ns, 100.0);
    EXPECT_GT(full.load_gbs, 0.0);
    EXPECT_TRUE(std::isfinite(full.load_gbs));
}

TEST(LoadedTeam, OnePointAtFullLoadAndIdleGivesFiguresWithTwoCpus)
{
    std::vector<int> allowed = machine::allowed_cpus();
    if (allowed.size() < 2)
        GTEST_SKIP() << "one CPU only";
    const double rate = counter_mhz();
    ASSERT_GT(rate, 0.0);
    latency::LoadedSetup setup;
    setup.bytes = 8 * MiB;
    setup.load_bytes = 1 * MiB;
    setup.mhz = rate;
    setup.seed = 7;
    setup.buffer = machine::map_buffer(setup.bytes);
    ASSERT_NE(setup.buffer, nullptr);
    latency::build_loaded_cycle(setup);
    EXPECT_EQ(setup.at, setup.buffer);

    // Each chase goes on from the line where the one before it stopped.
    const void *walked = setup.at;
    for (int i = 0; i < 3 * 1000; i++)
        walked = *static_cast<const void *const *>(walked);
    for (int call = 0; call < 3; call++)
        EXPECT_GT(latency::chase_onward(setup.buffer, &setup.at, 1000), 0.0);
    EXPECT_EQ(setup.at, walked);
    EXPECT_EQ(latency::loaded_loads(setup.bytes), 1 << 16);
    EXPECT_EQ(latency::loaded_loads(uint64_t(1) << 30), 1 << 18);

    // The chase runs on the team's first CPU, in a thread of its own so that
    // this one stays free.
    LoadedPoint idle, full;
    std::thread chaser([&] {
        ASSERT_TRUE(machine::pin(allowed[0]));
        bandwidth::Team team({allowed[0], allowed[1]}, real_machine(), bandwidth::Timer::monotonic_raw, 0.0);
        ASSERT_EQ(team.error(), "");
        idle = latency::measure_loaded(team, setup, nullptr, idle_delay);
        full = latency::measure_loaded(team, setup, bandwidth::choose(bandwidth::Kernel::vector_read, bandwidth::isas().front(), bandwidth::best_isa()).fn, 0);
    });
    chaser.join();
    machine::unmap_buffer(setup.buffer, setup.bytes);

    EXPECT_EQ(idle.error, "");
    EXPECT_EQ(idle.load_gbs, 0.0);
    EXPECT_TRUE(std::isfinite(idle.ns) && idle.ns > 0.0) << idle.ns;
    EXPECT_EQ(full.error, "");
    EXPECT_EQ(full.delay, 0u);
    // A loader that other work kept off its CPU through every window loads
    // nothing: a figure, if not a load.
    EXPECT_TRUE(std::isfinite(full.load_gbs) && full.load_gbs >= 0.0) << full.load_gbs;
    EXPECT_TRUE(std::isfinite(full.ns) && full.ns > 0.0) << full.ns;
}

}  // namespace
