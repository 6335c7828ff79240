// SPDX-License-Identifier: MIT
// memsweep-record: its session on scripted measurements (fakes/fake_run.cpp
// in place of the sweep, fakes/fake_chase.cpp in place of the chase), its
// latency's sizes, cycles and summary, its record and warnings, its
// controls on the machine, and the command itself, linked with the same
// stand-ins.
#include "common/memory.h"
#include "format/reader.h"
#include "written.h"
#include "latency/latency.h"
#include "latency/loaded.h"
#include "machine/machine.h"
#include "record/metrics.h"
#include "record/options.h"
#include "record/plane.h"
#include "common/random.h"
#include "record/report.h"
#include "record/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "check/checks.h"
#include "fakes/fake_chase.h"
#include "fakes/fake_facts.h"
#include "fakes/fake_run.h"
#include "tools.h"

namespace {


// session runs a scripted session and returns it with the calls of run,
// less the drift watch's readings; with latency sizes, their cycles are
// built in buffer.
record::Passes session(int passes, uint64_t seed, double watch_every_s = 1e9,
                       const std::vector<uint64_t> &latency = {}, void *buffer = nullptr)
{
    fake_run::reset();
    fake_chase::reset();
    record::Plan plan;
    plan.passes = passes;
    plan.seed = seed;
    plan.mhz = 2500.0;
    plan.watch_every_s = watch_every_s;
    plan.latency_bytes = latency;
    plan.latency_buffer = buffer;
    return record::measure(plan);
}

// The cells' order in each pass: the calls between the first and the last
// drift watch, as (size, stride) pairs.
std::vector<std::pair<int, int>> measured()
{
    return std::vector<std::pair<int, int>>(fake_run::calls.begin() + 1, fake_run::calls.end() - 1);
}

/* ---------------------------------------------------------------- the session */

TEST(Session, MeasuresEveryCellOncePerPassInAnOrderThatChangesWithPassAndSeed)
{
    record::Passes p = session(3, 42);
    EXPECT_EQ(fake_run::mhz, 2500.0);  // the counter's rate is the clock
    std::vector<std::pair<int, int>> order = measured();
    ASSERT_EQ(order.size(), 630u);
    std::set<std::pair<int, int>> grid;
    for (const record::Cell &c : record::grid())
        grid.insert({c.bytes(), c.stride});
    ASSERT_EQ(grid.size(), 210u);
    std::vector<std::vector<std::pair<int, int>>> passes;
    for (int k = 0; k < 3; k++) {
        passes.emplace_back(order.begin() + 210 * k, order.begin() + 210 * (k + 1));
        std::set<std::pair<int, int>> cells(passes[k].begin(), passes[k].end());
        EXPECT_EQ(cells, grid) << "pass " << k;
    }
    EXPECT_NE(passes[0], passes[1]);
    EXPECT_NE(passes[1], passes[2]);
    // Every cell keeps each pass's figure, in its place in memsweep's order.
    ASSERT_EQ(p.gbs.size(), 210u);
    EXPECT_EQ(p.gbs[0], std::vector<double>(3, 15.0));   // 128 MiB at stride 1
    EXPECT_EQ(p.gbs[209], std::vector<double>(3, 14.0)); // 16 KiB at stride 15

    session(3, 42);
    EXPECT_EQ(measured(), order);  // the seed decides the order
    session(3, 43);
    EXPECT_NE(measured(), order);
}

TEST(Session, MeasuresEveryLatencySizeOncePerPassAmongTheCellsEachOnACycleOfItsOwnSize)
{
    const std::vector<uint64_t> sizes = {16384, 24576, 1 << 20};
    machine::Mapping buffer(1 << 20);
    ASSERT_NE(buffer.data(), nullptr);
    record::Passes p = session(3, 42, 1e9, sizes, buffer.data());
    std::vector<std::pair<int, int>> order = measured();
    ASSERT_EQ(order.size(), 3u * 213u);
    std::set<std::pair<int, int>> chases = {{16384, 0}, {24576, 0}, {1 << 20, 0}};
    std::vector<std::vector<size_t>> places(3);  // where the chases fell in each pass
    bool among_cells = false;                     // a chase with a cell on either side
    for (int k = 0; k < 3; k++) {
        std::vector<std::pair<int, int>> pass(order.begin() + 213 * k, order.begin() + 213 * (k + 1));
        std::set<std::pair<int, int>> seen;
        for (size_t i = 0; i < pass.size(); i++) {
            if (pass[i].second != 0)
                continue;
            seen.insert(pass[i]);
            places[k].push_back(i);
            among_cells = among_cells || (i > 0 && i + 1 < pass.size() && pass[i - 1].second != 0 &&
                                          pass[i + 1].second != 0);
        }
        EXPECT_EQ(seen, chases) << "pass " << k;  // every size once, each on a cycle of all its lines
        std::set<std::pair<int, int>> points(pass.begin(), pass.end());
        EXPECT_EQ(points.size(), 213u) << "pass " << k;
    }
    EXPECT_NE(places[0], places[1]);
    EXPECT_TRUE(among_cells) << "the chases are kept apart from the cells";
    // Two trips round each cycle, and at least 100,000 loads.
    for (const fake_chase::Call &c : fake_chase::calls)
        EXPECT_EQ(c.loads, std::max<int>(100000, 2 * (int)c.lines)) << c.lines;

    // Figures in ns per load at the plan's rate, by the size's place.
    ASSERT_EQ(p.latency_bytes, sizes);
    ASSERT_EQ(p.latency_ns.size(), 3u);
    EXPECT_EQ(p.latency_ns[0], std::vector<double>(3, 4.0 / 2500.0 * 1000.0));
    EXPECT_EQ(p.latency_ns[2], std::vector<double>(3, 100.0 / 2500.0 * 1000.0));
    EXPECT_EQ(p.gbs.size(), 210u);
    EXPECT_GT(p.latency_seconds, 0.0);  // the chases' share of the session
    EXPECT_LE(p.latency_seconds, p.seconds);

    // No buffer, no latency: the cells alone, in the orders they had.
    session(1, 42);
    std::vector<std::pair<int, int>> cells_alone = measured();
    record::Passes none = session(1, 42, 1e9, sizes, nullptr);
    EXPECT_EQ(measured(), cells_alone);
    EXPECT_TRUE(none.latency_ns.empty());
    EXPECT_EQ(none.latency_seconds, 0.0);
}

// A plane of three points whose stand-in measures each point in `calls`
// and gives 10 GB/s more per point, or fails at its call number `fail_at`.
struct PlaneStandIn {
    std::vector<record::PlanePoint> points = {
        {"vector-read", "avx2", 1, 16384}, {"vector-read", "avx2", 2, 16384}, {"copy", "avx2", 1, 1 << 20}};
    std::vector<size_t> calls;
    size_t fail_at = SIZE_MAX;
    std::vector<std::pair<int, int>> progress;

    record::Passes run(int passes, uint64_t seed)
    {
        fake_run::reset();
        record::Plan plan;
        plan.passes = passes;
        plan.seed = seed;
        plan.mhz = 2500.0;
        plan.watch_every_s = 1e9;
        plan.plane = points;
        plan.measure_plane = [this](size_t i, std::string *error) {
            calls.push_back(i);
            if (calls.size() == fail_at)
                *error = "the thread on CPU 1 can't map its buffer";
            return 10.0 * (double)(i + 1);
        };
        plan.progress = [this](int done, int total, double) { progress.push_back({done, total}); };
        return record::measure(plan);
    }
};

TEST(Session, MeasuresEveryPlanePointOncePerPassAmongTheCellsAndEndsThePlaneOnItsFirstFault)
{
    PlaneStandIn plane;
    record::Passes p = plane.run(3, 42);
    ASSERT_EQ(plane.calls.size(), 9u);
    for (int k = 0; k < 3; k++) {
        std::set<size_t> pass(plane.calls.begin() + 3 * k, plane.calls.begin() + 3 * (k + 1));
        EXPECT_EQ(pass, (std::set<size_t>{0, 1, 2})) << "pass " << k;
    }
    EXPECT_EQ(measured().size(), 630u);  // every cell as well
    ASSERT_EQ(p.plane_gbs.size(), 3u);
    EXPECT_EQ(p.plane_gbs[2], std::vector<double>(3, 30.0));
    EXPECT_EQ(p.plane[2].kernel, "copy");
    EXPECT_TRUE(p.plane_error.empty());
    EXPECT_GT(p.plane_seconds, 0.0);
    // The progress counts the plane's points.
    EXPECT_EQ(plane.progress.back(), std::make_pair(639, 639));

    // The second point of the second pass fails: the plane's figures go,
    // no point of it is measured again, and the cells go on to the end.
    PlaneStandIn failing;
    failing.fail_at = 5;
    p = failing.run(3, 42);
    EXPECT_EQ(failing.calls.size(), 5u);
    EXPECT_EQ(p.plane_error, "the thread on CPU 1 can't map its buffer");
    EXPECT_TRUE(p.plane.empty());
    EXPECT_TRUE(p.plane_gbs.empty());
    EXPECT_EQ(measured().size(), 630u);
    EXPECT_EQ(p.gbs[0].size(), 3u);
    EXPECT_EQ(failing.progress.back(), std::make_pair(635, 635));
    for (size_t i = 1; i < failing.progress.size(); i++)
        EXPECT_LE(failing.progress[i].first, failing.progress[i].second);
}

// The loaded latency's points fall among the cells and the latency's own
// points, once per pass; its cycle is built again wherever a latency point
// left another in the buffer; a fault ends the curve and not the session.
TEST(Session, MeasuresEveryLoadedPointOncePerPassAndEndsTheCurveOnItsFirstFault)
{
    machine::Mapping buffer(1 << 20);
    ASSERT_NE(buffer.data(), nullptr);
    auto run = [&](size_t fail_at, std::vector<size_t> *calls, bool renew) {
        fake_run::reset();
        record::Plan plan;
        plan.passes = 3;
        plan.seed = 42;
        plan.mhz = 2500.0;
        plan.watch_every_s = 1e9;
        plan.latency_bytes = {16384, 1 << 20};
        plan.latency_buffer = buffer.data();
        plan.loaded = {{"", latency::idle_delay}, {"vector-read", 0}, {"vector-read", 4096}};
        if (renew)
            plan.renew_pages = [calls] { calls->push_back(SIZE_MAX); };
        plan.measure_loaded = [=](size_t i, double *gbs, double *ns, std::string *error) {
            calls->push_back(i);
            if (calls->size() == fail_at)
                *error = "the loader on CPU 1 can't map its buffer";
            *gbs = i == 0 ? 0.0 : 20.0 / (double)i;
            *ns = 100.0 + 10.0 * (double)i;
        };
        return record::measure(plan);
    };
    std::vector<size_t> calls;
    record::Passes p = run(SIZE_MAX, &calls, false);
    ASSERT_EQ(calls.size(), 9u);
    for (int k = 0; k < 3; k++) {
        std::set<size_t> pass(calls.begin() + 3 * k, calls.begin() + 3 * (k + 1));
        EXPECT_EQ(pass, (std::set<size_t>{0, 1, 2})) << "pass " << k;
    }
    ASSERT_EQ(p.loaded_ns.size(), 3u);
    EXPECT_EQ(p.loaded_ns[2], std::vector<double>(3, 120.0));
    EXPECT_EQ(p.loaded_gbs[1], std::vector<double>(3, 20.0));
    EXPECT_GT(p.loaded_seconds, 0.0);
    std::vector<latency::LoadedSeries> series = record::loaded_series(p);
    ASSERT_EQ(series.size(), 3u);
    EXPECT_EQ(series[1].kernel, "vector-read");
    EXPECT_EQ(series[2].delay, 4096u);

    // Fresh pages before the second and third passes.
    calls.clear();
    run(SIZE_MAX, &calls, true);
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls[3], SIZE_MAX);
    EXPECT_EQ(calls[7], SIZE_MAX);

    calls.clear();
    p = run(4, &calls, false);
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(p.loaded_error, "the loader on CPU 1 can't map its buffer");
    EXPECT_TRUE(p.loaded_ns.empty());
    EXPECT_EQ(p.gbs[0].size(), 3u);
    EXPECT_EQ(p.latency_ns[1].size(), 3u);
}

TEST(Session, WatchesTheCoreBoundCellAtTheStartBetweenCellsAndAtTheEnd)
{
    record::Passes p = session(1, 1, 1e9);
    ASSERT_EQ(p.drift.size(), 2u);
    EXPECT_EQ(fake_run::calls.front(), std::make_pair(16384, 1));
    EXPECT_EQ(fake_run::calls.back(), std::make_pair(16384, 1));
    p = session(2, 1, 0.0);  // due after every cell
    EXPECT_EQ(p.drift.size(), 2u + 420u);
    for (size_t i = 1; i < p.drift.size(); i++)
        EXPECT_GE(p.drift[i].seconds, p.drift[i - 1].seconds);
}

TEST(Session, SpreadIsTheMedianMinimumAndMaximumOverPasses)
{
    record::Spread s = record::spread_of({3.0, 1.0, 2.0});
    EXPECT_EQ(s.median, 2.0);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 3.0);
    EXPECT_EQ(record::spread_of({4.0, 1.0, 3.0, 2.0}).median, 2.5);
    EXPECT_EQ(record::spread_of({7.0}).median, 7.0);
    EXPECT_DOUBLE_EQ(record::spread_share(record::spread_of({9.0, 10.0, 11.0})), 0.2);
}

TEST(Session, ShufflesWithEveryIndexOnceAndTheSameOrderForTheSameSeed)
{
    for (int n : {0, 1, 2, 17, 210}) {
        memsweep::Random a(9), b(9);
        std::vector<int> order = memsweep::shuffled(n, a);
        std::vector<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < n; i++)
            ASSERT_EQ(sorted[i], i) << n;
        EXPECT_EQ(memsweep::shuffled(n, b), order) << n;
    }
    // below(n) stays below n and reaches every value.
    memsweep::Random r(0);
    std::set<uint64_t> seen;
    for (int i = 0; i < 1000; i++)
        seen.insert(r.below(7));
    EXPECT_EQ(seen, (std::set<uint64_t>{0, 1, 2, 3, 4, 5, 6}));
}

/* ---------------------------------------------------------------- the latency */

// cycle_lines follows the links from the buffer's first line and returns
// the line numbers visited until it came back, or stops after `limit`.
std::vector<size_t> cycle_lines(const std::vector<uint64_t> &buffer, size_t limit)
{
    const char *base = reinterpret_cast<const char *>(buffer.data());
    std::vector<size_t> visited;
    const char *p = base;
    do {
        size_t offset = (size_t)(p - base);
        if (offset % 64 != 0 || offset / 64 >= limit)
            return {};  // a link that is no line of the cycle
        visited.push_back(offset / 64);
        p = *reinterpret_cast<const char *const *>(p);
    } while (p != base && visited.size() <= limit);
    return visited;
}

TEST(Latency, CycleVisitsEveryLineOnceAndComesBackWithinItsLines)
{
    for (size_t lines : {1, 2, 3, 7, 1000}) {
        // One line more than the cycle, which it must leave alone.
        std::vector<uint64_t> buffer((lines + 1) * 8, 0);
        buffer[lines * 8] = 0x5a5a5a5a;
        memsweep::Random random(latency::cycle_seed(3, lines * 64));
        latency::build_cycle(buffer.data(), lines, random);
        std::vector<size_t> visited = cycle_lines(buffer, lines);
        ASSERT_EQ(visited.size(), lines) << lines;
        std::sort(visited.begin(), visited.end());
        for (size_t i = 0; i < lines; i++)
            ASSERT_EQ(visited[i], i) << lines;
        EXPECT_EQ(buffer[lines * 8], 0x5a5a5a5au) << lines;
    }
    // The seed and the size decide the cycle.
    auto cycle = [](uint64_t seed, uint64_t bytes) {
        std::vector<uint64_t> buffer(1000 * 8);
        memsweep::Random random(latency::cycle_seed(seed, bytes));
        latency::build_cycle(buffer.data(), 1000, random);
        return cycle_lines(buffer, 1000);
    };
    EXPECT_EQ(cycle(5, 64000), cycle(5, 64000));
    EXPECT_NE(cycle(5, 64000), cycle(6, 64000));
    EXPECT_NE(latency::cycle_seed(5, 16384), latency::cycle_seed(5, 24576));
}

TEST(Latency, LoadsPerCallAreTwoTripsRoundTheCycleAndAtLeastAHundredThousand)
{
    EXPECT_EQ(latency::chase_loads(1), 100000);
    EXPECT_EQ(latency::chase_loads(50000), 100000);
    EXPECT_EQ(latency::chase_loads(50001), 100002);
    EXPECT_EQ(latency::chase_loads(size_t(1) << 24), 1 << 25);  // 1 GiB
}

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

// powers returns the sizes that are powers of two.
std::vector<uint64_t> powers(const std::vector<uint64_t> &sizes)
{
    std::vector<uint64_t> p;
    std::copy_if(sizes.begin(), sizes.end(), std::back_inserter(p), [](uint64_t b) { return (b & (b - 1)) == 0; });
    return p;
}

TEST(Latency, SizesReachFourTimesTheLargestCacheWithinOneGiBAndHalfTheFreeMemory)
{
    const double plenty = 64 * 1024;  // MiB
    // No caches known, as in many virtual machines: memsweep's 14 sizes,
    // ascending, and a step half-way between each two below 4 MiB.
    std::vector<uint64_t> sizes = latency::latency_sizes({}, memsweep::memory_room(plenty));
    EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()));
    std::vector<uint64_t> labels;
    for (int label = 1; label <= 14; label++)
        labels.push_back(uint64_t(1) << (label + 13));
    EXPECT_EQ(powers(sizes), labels);
    EXPECT_EQ(sizes[1], 24 * KiB);
    EXPECT_EQ(sizes[15], 3 * MiB);
    EXPECT_EQ(sizes[16], 4 * MiB);
    EXPECT_EQ(sizes[17], 8 * MiB);  // none above
    EXPECT_EQ(sizes.size(), 14u + 8u);

    // A 32 MiB third level: four times it is 128 MiB.
    std::vector<latency::Cache> l3 = {{"L1d", 32 * KiB}, {"L2", 1 * MiB}, {"L3", 32 * MiB}};
    EXPECT_EQ(latency::latency_sizes(l3, memsweep::memory_room(plenty)), sizes);
    // 96 MiB: four times is 384 MiB, and the largest power of two within it
    // 256 MiB, one size more.
    l3.back().bytes = 96 * MiB;
    std::vector<uint64_t> more = latency::latency_sizes(l3, memsweep::memory_room(plenty));
    EXPECT_EQ(more.back(), 256 * MiB);
    EXPECT_EQ(std::vector<uint64_t>(more.begin(), more.end() - 1), sizes);
    // Small caches leave memsweep's 128 MiB; huge ones stop at 1 GiB.
    EXPECT_EQ(latency::latency_sizes({{"L2", 256 * KiB}}, memsweep::memory_room(plenty)).back(), 128 * MiB);
    EXPECT_EQ(latency::latency_sizes({{"L3", 1 * GiB}}, memsweep::memory_room(plenty)).back(), 1 * GiB);
    EXPECT_EQ(latency::latency_sizes({{"L3", 4 * GiB}}, memsweep::memory_room(plenty)).back(), 1 * GiB);

    // Half of the free memory: 1000 MiB free holds a 256 MiB buffer, not 512.
    EXPECT_EQ(latency::latency_sizes({{"L3", 1 * GiB}}, memsweep::memory_room(1000)).back(), 256 * MiB);
    // Also below memsweep's 128 MiB, and the buffer comes on top of its
    // array: 200 MiB free leave 72 MiB, 150 MiB 22 MiB.
    std::vector<uint64_t> less = latency::latency_sizes({}, memsweep::memory_room(200));
    EXPECT_EQ(less.back(), 64 * MiB);
    EXPECT_EQ(less, std::vector<uint64_t>(sizes.begin(), sizes.end() - 1));
    EXPECT_EQ(latency::latency_sizes({}, memsweep::memory_room(150)).back(), 16 * MiB);
    EXPECT_EQ(latency::latency_sizes({}, memsweep::memory_room(100)), std::vector<uint64_t>{16 * KiB});
    // Free memory unknown: no larger than memsweep's own.
    EXPECT_EQ(latency::latency_sizes({{"L3", 1 * GiB}}, memsweep::memory_room(-1.0)).back(), 128 * MiB);
}

TEST(Latency, CachesAndFreeMemoryComeFromTheChecksReport)
{
    std::vector<checks::CacheFolder> folders = {{"index0", "1", "Data", "48K", "64"},
                                                {"index1", "1", "Instruction", "32K", "64"},
                                                {"index2", "2", "Unified", "2048K", "64"},
                                                {"index3", "3", "Unified", "96M", "64"}};
    std::vector<checks::Check> report = {checks::cache_check(folders),
                                         checks::memory_check("MemAvailable:    2048000 kB\n")};
    std::vector<latency::Cache> caches = latency::caches_of(report);
    ASSERT_EQ(caches.size(), 3u);
    EXPECT_EQ(caches[0].name, "L1d");
    EXPECT_EQ(caches[0].bytes, 48 * KiB);
    EXPECT_EQ(caches[1].name, "L2");
    EXPECT_EQ(caches[2].name, "L3");
    EXPECT_EQ(caches[2].bytes, 96 * MiB);
    EXPECT_DOUBLE_EQ(latency::available_mib_of(report), 2000.0);

    // None known, as here: no caches, and memory unknown.
    report = {checks::cache_check({}), checks::memory_check("")};
    EXPECT_TRUE(latency::caches_of(report).empty());
    EXPECT_LT(latency::available_mib_of(report), 0.0);
    EXPECT_TRUE(latency::caches_of({}).empty());
    EXPECT_LT(latency::available_mib_of({}), 0.0);
}

TEST(Latency, SummaryGivesEachLevelsMedianOfTheSizesWellInsideItThenMemory)
{
    // 1.2 ns up to 32 KiB, 4 ns and a little more to 1 MiB, 15 ns to
    // 32 MiB, then 90 ns.
    std::vector<uint64_t> sizes = latency::latency_sizes({}, memsweep::memory_room(64 * 1024));
    std::vector<latency::LatencyFigure> figures(sizes.size());
    std::transform(sizes.begin(), sizes.end(), figures.begin(), [](uint64_t b) {
        double ns = b <= 32 * KiB ? 1.2 : b <= 1 * MiB ? 4.0 + (double)b / (double)MiB : b <= 32 * MiB ? 15.0 : 90.0;
        return latency::LatencyFigure{b, ns};
    });
    std::vector<latency::Cache> caches = {{"L1d", 32 * KiB}, {"L2", 1 * MiB}, {"L3", 32 * MiB}};
    // L1d: 16 KiB; L2: 48 KiB to 512 KiB (eight from 4.05 to 4.5, the
    // middle two 4.13 and 4.19); L3: 1.5 MiB to 16 MiB; memory: 128 MiB.
    EXPECT_EQ(latency::latency_summary(figures, caches), "L1d 1.2 ns, L2 4.2 ns, L3 15 ns, memory 90 ns");

    // No caches known: the smallest size's figure, then memory's.
    std::string line = latency::latency_summary(figures, {});
    EXPECT_EQ(line.rfind("16 KiB 1.2 ns, ", 0), 0u) << line;
    EXPECT_EQ(line.find("L1d"), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 12), "memory 90 ns") << line;

    // A level with no size well inside it and above the level below is left out.
    line = latency::latency_summary(figures, {{"L1d", 32 * KiB}, {"L2", 48 * KiB}});
    EXPECT_EQ(line.find("L2"), std::string::npos) << line;
    EXPECT_NE(line.find("memory 90 ns"), std::string::npos) << line;
    // A largest size that fits in the largest cache is no memory figure.
    line = latency::latency_summary(figures, {{"L1d", 32 * KiB}, {"L2", 1 * MiB}, {"L3", 256 * MiB}});
    EXPECT_NE(line.find("L3 15 ns, 128 MiB 90 ns"), std::string::npos) << line;
    EXPECT_EQ(line.find("memory 90"), std::string::npos) << line;
    EXPECT_NE(line.find("fits in L3"), std::string::npos) << line;
    EXPECT_EQ(latency::latency_summary({}, caches), "");
    EXPECT_EQ(latency::latency_summary({{1 * GiB, 123.4}}, {}), "memory 123 ns");
}

/* ---------------------------------------------------------------- the plane */

TEST(Plane, ThreadCountsArePowersOfTwoUpToTheAllowedCpusAndTheirNumber)
{
    EXPECT_EQ(record::default_thread_counts(1), (std::vector<int>{1}));
    EXPECT_EQ(record::default_thread_counts(2), (std::vector<int>{1, 2}));
    EXPECT_EQ(record::default_thread_counts(6), (std::vector<int>{1, 2, 4, 6}));
    EXPECT_EQ(record::default_thread_counts(8), (std::vector<int>{1, 2, 4, 8}));
}

// On a made-up machine of two cores with two SMT siblings each, under a
// cgroup quota of one and a half CPUs.
TEST(Plane, PlacesEachCountAmongTheAllowedCpusOrRefusesACountBeyondThem)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    auto put = [&](const std::string &path, const std::string &text) {
        std::filesystem::path p = dir.path + path;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    };
    for (int cpu = 0; cpu < 4; cpu++)
        put("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/thread_siblings_list",
            cpu < 2 ? "0-1\n" : "2-3\n");
    const std::vector<int> allowed = {0, 1, 2, 3};

    record::PlaneSetup setup = record::place_plane(dir.path, allowed, {});
    EXPECT_EQ(setup.error, "");
    EXPECT_EQ(setup.counts, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(setup.cpus, (std::vector<std::vector<int>>{{0}, {0, 2}, {0, 2, 1, 3}}));
    EXPECT_EQ(setup.warning, "");
    // max is the allowed CPUs' number; each count once, ascending.
    setup = record::place_plane(dir.path, allowed, {record::all_cpus, 2, 2});
    EXPECT_EQ(setup.counts, (std::vector<int>{2, 4}));
    for (int beyond : {5, 99}) {
        setup = record::place_plane(dir.path, allowed, {1, beyond});
        EXPECT_NE(setup.error.find("--threads " + std::to_string(beyond)), std::string::npos) << setup.error;
    }
    put("/proc/self/cgroup", "0::/session\n");
    put("/sys/fs/cgroup/session/cpu.max", "150000 100000\n");
    setup = record::place_plane(dir.path, allowed, {1, 4});
    EXPECT_EQ(setup.error, "");
    EXPECT_NE(setup.warning.find("quota"), std::string::npos) << setup.warning;
}

/* ---------------------------------------------------------------- the record */

record::Session made_up()
{
    record::Session s;
    s.version = "9.9.9";
    s.command = {"memsweep-record", "-o", "r.json"};
    s.seed = (uint64_t(1) << 53) - 1;
    s.cpu = 1;
    s.pages = machine::Pages::huge;
    s.huge_share = 0.5;
    s.cpu_mhz = 800.0;
    s.counter_mhz = 2400.0;
    s.cpu_mhz_after = 800.0;
    s.counter_mhz_after = 2400.0;
    s.checks_before = {checks::huge_pages_check("always madvise [never]")};
    s.passes = session(3, 5);
    return s;
}

TEST(Record, RoundTripsThroughJsonAndAgreesWithTheTableOfBestPasses)
{
    record::Session s = made_up();
    s.passes.gbs[3] = {1.0, 3.0, 2.0};
    json r = json::parse(record_json(s).dump(2));
    EXPECT_EQ(r["format"], "memsweep-record");
    EXPECT_EQ(r["format_version"], 1);
    EXPECT_EQ(r["seed"].get<uint64_t>(), s.seed);
    EXPECT_EQ(r["passes"], 3);
    EXPECT_EQ(r["pages"]["mode"], "huge");
    EXPECT_EQ(r["pages"]["huge_share"], 0.5);
    EXPECT_TRUE(r["pages"]["huge_share_after"].is_null());  // not read
    s.huge_share_after = 0.75;
    EXPECT_EQ(record_json(s)["pages"]["huge_share_after"], 0.75);
    EXPECT_EQ(r["clock"]["factor"], 800.0 / 2400.0);
    EXPECT_EQ(r["checks_before"]["checks"]["huge_pages"]["transparent_mode"], "never");
    EXPECT_EQ(r["drift"].size(), 2u);
    EXPECT_EQ(r["largest_row_by_pass"].size(), 3u);
    ASSERT_EQ(r["cells"].size(), 210u);
    const json &c = r["cells"][3];
    EXPECT_EQ(c["label"], 14);
    EXPECT_EQ(c["stride"], 4);
    EXPECT_EQ(c["median"], 2.0);
    EXPECT_EQ(c["min"], 1.0);
    EXPECT_EQ(c["max"], 3.0);
    EXPECT_EQ(c["passes"], json({1.0, 3.0, 2.0}));

    std::vector<std::string> lines = lines_of(record::best_table(s.passes));
    ASSERT_EQ(lines.size(), 211u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "14\t1\t15.0");
    EXPECT_EQ(lines[4], "14\t4\t3.0");  // the best of 1, 3 and 2, not the median
    EXPECT_EQ(lines[210], "1\t15\t14.0");
}

TEST(Record, KeepsTheLatencyAscendingBySizeWithItsSpreadEveryPassAndCounterCycles)
{
    record::Session s = made_up();
    s.latency_huge_share = 0.25;
    s.passes.latency_bytes = {1 << 20, 16384};
    s.passes.latency_ns = {{90.0, 80.0, 100.0, 95.0}, {1.25, 1.5, 1.0}};
    s.passes.latency_seconds = 12.5;
    json r = json::parse(record_json(s).dump(2));
    EXPECT_EQ(r["latency_seconds"], 12.5);
    EXPECT_EQ(r["pages"]["latency_huge_share"], 0.25);
    ASSERT_EQ(r["latency"].size(), 2u);
    const json &small = r["latency"][0], &large = r["latency"][1];
    EXPECT_EQ(small["bytes"], 16384);
    EXPECT_EQ(small["ns"], 1.25);
    EXPECT_DOUBLE_EQ(small["cycles"].get<double>(), 1.25 * 2.4);  // at the counter's 2400 MHz
    EXPECT_EQ(small["min"], 1.0);
    EXPECT_EQ(small["max"], 1.5);
    EXPECT_EQ(small["passes"], json({1.25, 1.5, 1.0}));
    EXPECT_EQ(large["bytes"].get<uint64_t>(), uint64_t(1) << 20);
    EXPECT_EQ(large["ns"], 92.5);
    EXPECT_EQ(large["passes"], json({90.0, 80.0, 100.0, 95.0}));

    std::vector<latency::LatencyFigure> medians = record::latency_medians(s.passes);
    ASSERT_EQ(medians.size(), 2u);
    EXPECT_EQ(medians[0].bytes, 16384u);
    EXPECT_EQ(medians[0].ns, 1.25);
    EXPECT_EQ(medians[1].ns, 92.5);

    // Without latency: an empty list and no buffer's share.
    r = json::parse(record_json(made_up()).dump(2));
    EXPECT_EQ(r["latency"], json::array());
    EXPECT_TRUE(r["pages"]["latency_huge_share"].is_null());
}

// has_warning tells whether exactly one of the warnings says what is given.
bool has_warning(const std::vector<std::string> &warnings, const std::string &says)
{
    return std::count_if(warnings.begin(), warnings.end(),
                         [&](const std::string &w) { return w.find(says) != std::string::npos; }) == 1;
}

// made_up_plane is a session with a plane: vector-read and copy at 1 and
// 2 threads, at 16 KiB and 64 MiB each, with three passes' figures.
record::Session made_up_plane()
{
    record::Session s = made_up();
    s.bandwidth = true;
    s.plane.timer = "counter";
    s.plane.threads = {1, 2};
    s.plane.cpus = {{0}, {0, 1}};
    s.passes.plane.clear();
    s.passes.plane_gbs.clear();
    double gbs = 100.0;
    for (const char *kernel : {"vector-read", "copy"})
        for (int threads : {1, 2})
            for (uint64_t bytes : {uint64_t(16384), uint64_t(64) << 20}) {
                s.passes.plane.push_back({kernel, "avx512", threads, bytes});
                s.passes.plane_gbs.push_back({gbs + 1.0, gbs, gbs + 2.0});
                gbs += 10.0;
            }
    s.passes.plane_seconds = 12.5;
    return s;
}

TEST(Record, KeepsThePlanesPointsWithTheirSpreadPerThreadAndTotalBytesAndItsClock)
{
    record::Session s = made_up_plane();
    json r = json::parse(record_json(s).dump(2));
    EXPECT_EQ(r["bandwidth_seconds"], 12.5);
    EXPECT_EQ(r["bandwidth_plane"]["timer"], "counter");
    EXPECT_EQ(r["bandwidth_plane"]["threads"], json({1, 2}));
    EXPECT_EQ(r["bandwidth_plane"]["cpus"][1], json({0, 1}));
    EXPECT_TRUE(r["bandwidth_plane"]["ended"].is_null());
    ASSERT_EQ(r["bandwidth"].size(), 8u);
    const json &b = r["bandwidth"][7];  // copy, 2 threads, 64 MiB
    EXPECT_EQ(b["kernel"], "copy");
    EXPECT_EQ(b["isa"], "avx512");
    EXPECT_EQ(b["threads"], 2);
    EXPECT_EQ(b["bytes"], 64u << 20);
    EXPECT_EQ(b["total_bytes"], 128u << 20);
    EXPECT_EQ(b["gbs"], 171.0);
    EXPECT_EQ(b["min"], 170.0);
    EXPECT_EQ(b["max"], 172.0);
    EXPECT_EQ(b["passes"], json({171.0, 170.0, 172.0}));

    // Without the plane: an empty list, no plane's facts, no time.
    s = made_up();
    r = record_json(s);
    EXPECT_EQ(r["bandwidth"], json::array());
    EXPECT_TRUE(r["bandwidth_plane"].is_null());
    EXPECT_EQ(r["bandwidth_seconds"], 0.0);
    // A plane that ended says why, and keeps no points.
    s.bandwidth = true;
    s.plane_error = "can't pin a thread to CPU 3: Invalid argument";
    r = record_json(s);
    EXPECT_EQ(r["bandwidth_plane"]["ended"], s.plane_error);
    EXPECT_EQ(r["bandwidth"], json::array());
}

TEST(Record, SummarisesThePlaneByEachKernelsLargestWorkingSetAtTheFewestAndMostThreads)
{
    record::Session s = made_up_plane();
    std::string line = record::bandwidth_summary(s.passes, 32 << 20);
    // Each kernel once, in the plane's order, with its 64 MiB medians at 1
    // and 2 threads; the 16 KiB figures nowhere.
    EXPECT_EQ(line.rfind("bandwidth (memory, avx512): ", 0), 0u) << line;
    size_t read = line.find("vector-read 111 GB/s on 1 thread, 131 on 2");
    size_t copy = line.find("copy 151 GB/s on 1 thread, 171 on 2");
    EXPECT_NE(read, std::string::npos) << line;
    EXPECT_NE(copy, std::string::npos) << line;
    EXPECT_LT(read, copy) << line;
    EXPECT_EQ(line.find("101"), std::string::npos) << line;
    // A cache that holds the largest working set: not memory; no cache
    // known: memory.
    EXPECT_EQ(record::bandwidth_summary(s.passes, 128 << 20).find("memory"), std::string::npos);
    EXPECT_EQ(record::bandwidth_summary(s.passes, 0).rfind("bandwidth (memory, avx512): ", 0), 0u);
    // One thread count: one figure per kernel.
    record::Passes two;
    for (size_t k = 0; k < s.passes.plane.size(); k++)
        if (s.passes.plane[k].threads == 2) {
            two.plane.push_back(s.passes.plane[k]);
            two.plane_gbs.push_back(s.passes.plane_gbs[k]);
        }
    line = record::bandwidth_summary(two, 32 << 20);
    EXPECT_NE(line.find("vector-read 131 GB/s on 2 threads; copy 171 GB/s on 2 threads"), std::string::npos) << line;
    EXPECT_EQ(record::bandwidth_summary(record::Passes(), 32 << 20), "");
}

// The metrics: each series once, its unit in its name, labels escaped; the
// rated peak and its share only where the peak is known.
TEST(Record, WritesItsMetricsAsPrometheusSeries)
{
    record::Session s = made_up_plane();
    format::Record r = record::model_of(s);
    r.host = "rack\"7\\b";
    r.end = "2026-12-10T10:05:00Z";
    std::string text = record::metrics_text(r);
    EXPECT_NE(text.find("# TYPE memsweep_bandwidth_bytes_per_second gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("host=\"rack\\\"7\\\\b\""), std::string::npos) << text;
    EXPECT_NE(text.find("kernel=\"vector-read\",isa=\"avx512\",threads=\"2\""), std::string::npos) << text;
    EXPECT_NE(text.find("memsweep_record_end_timestamp_seconds{"), std::string::npos);
    EXPECT_NE(text.find("} 1796897100\n"), std::string::npos) << text;  // whole, to the second
    EXPECT_EQ(text.find("memsweep_rated_peak"), std::string::npos);
    r.rated = {262.0, "udev", "", ""};
    text = record::metrics_text(r);
    EXPECT_NE(text.find("memsweep_rated_peak_bytes_per_second{host=\"rack\\\"7\\\\b\",cpu=\"\",source=\"udev\"} 262000000000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("memsweep_rated_peak_share_ratio{"), std::string::npos);
    EXPECT_EQ(record::label_value("a\nb"), "a?b");
    // Every family once, a HELP and a TYPE line each: all but the latency,
    // which this session did not measure.
    auto count = [&](const std::string &what) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++)
            n++;
        return n;
    };
    EXPECT_EQ(count("# HELP "), 6u);
    EXPECT_EQ(count("# TYPE "), 6u);
    EXPECT_EQ(count("memsweep_latency_seconds"), 0u);
}

// The memory line: the plane's memory figure against the rated peak that
// the checks found, or why there is none to hold it against.
TEST(Record, SaysThePlanesMemoryFigureAsAShareOfTheRatedPeak)
{
    record::Session s = made_up_plane();
    format::Record r = record::model_of(s);
    r.caches = {{"L3", 32 << 20}};
    r.rated = {262.0, "udev", "", ""};
    std::string line = record::memory_summary(r);
    EXPECT_EQ(line, "memory: vector-read 131 GB/s on 2 threads, 50 % of the rated 262.0 GB/s (udev)") << line;
    r.rated = {-1.0, "", "no SMBIOS table", ""};
    EXPECT_EQ(record::memory_summary(r),
              "memory: vector-read 131 GB/s on 2 threads; the rated peak is unknown: no SMBIOS table");
    json j = record_json(s);
    EXPECT_TRUE(j["memory"]["rated_gbs"].is_null());
    EXPECT_EQ(j["memory"]["read"]["kernel"], "vector-read");
    EXPECT_EQ(record::memory_summary(record::model_of(made_up())), "");
}

TEST(Record, WarnsOfWhatDisturbedTheSessionAndOfNothingElse)
{
    record::Session s = made_up();
    EXPECT_EQ(record::session_warnings(s), std::vector<std::string>{});

    // Each disturbance earns its own warning, with its figures.
    s.huge_share = 0.0;  // huge pages asked for, none obtained
    s.passes.drift = {{0.0, 70.0}, {3.0, 73.0}, {6.0, 74.0}};  // 5.5 %
    s.other_work_cpus = 0.2;
    s.cpu_mhz_after = 820.0;                  // 2.5 %
    s.counter_mhz_after = 2400.0 * 1.00002;   // 20 ppm
    s.latency_huge_share = 0.0;
    std::vector<std::string> w = record::session_warnings(s);
    EXPECT_TRUE(has_warning(w, "none of the measured memory got them (transparent huge pages: never)"));
    EXPECT_TRUE(has_warning(w, "none of the latency's buffer got them"));
    EXPECT_TRUE(has_warning(w, "drift watch (16 KiB at stride 1) moved by 5.5 %"));
    EXPECT_TRUE(has_warning(w, "other work kept 0.20 of"));
    EXPECT_TRUE(has_warning(w, "line moved from 800.000 to 820.000 MHz"));
    EXPECT_TRUE(has_warning(w, "(20 ppm)"));
    EXPECT_FALSE(has_warning(w, "steps of the counter"));
    EXPECT_FALSE(has_warning(w, "share on huge pages moved"));

    // The array's huge pages, read again after the passes: a move of a huge
    // page (1.6 % of it) is a warning, and none without a second reading.
    record::Session pages = made_up();
    pages.huge_share_after = 0.516;
    EXPECT_TRUE(has_warning(record::session_warnings(pages), "share on huge pages moved from 50 % to 52 %"));
    pages.huge_share_after = 0.505;
    EXPECT_EQ(record::session_warnings(pages), std::vector<std::string>{});
    pages.huge_share = 0.0;
    pages.huge_share_after = -1.0;
    pages.pages = machine::Pages::system;
    EXPECT_EQ(record::session_warnings(pages), std::vector<std::string>{});
    // A 64 KiB-page kernel's huge pages of 512 MiB can't back the array.
    pages.pages = machine::Pages::huge;
    pages.checks_before = {checks::huge_pages_check(std::string("[always] madvise never"), {65536, std::nullopt, {}})};
    EXPECT_TRUE(has_warning(record::session_warnings(pages),
                            "this system's are 512 MiB, larger than memsweep's 128 MiB array"));

    // A counter that advances 21 cycles at a time makes the shortest calls
    // coarse: 16 KiB at stride 15 (1092 bytes at 14 GB/s) is 187 cycles.
    EXPECT_EQ(record::coarse_cells(s.passes, 2400.0, 1.0, 0.0), std::vector<int>{});
    std::vector<int> coarse = record::coarse_cells(s.passes, 2400.0, 21.0, 0.0);
    EXPECT_NE(std::find(coarse.begin(), coarse.end(), 209), coarse.end());
    EXPECT_EQ(std::find(coarse.begin(), coarse.end(), 195), coarse.end());  // 16 KiB at stride 1
    // Where memsweep timed calls of fewer than 200 counts in a row, the
    // 187 cycles of 16 KiB at stride 15 are not coarse; the rest still are.
    std::vector<int> in_row = record::coarse_cells(s.passes, 2400.0, 21.0, 200.0);
    EXPECT_EQ(std::find(in_row.begin(), in_row.end(), 209), in_row.end());
    EXPECT_FALSE(in_row.empty());
    EXPECT_LT(in_row.size(), coarse.size());
    s.counter_step = 21.0;
    EXPECT_TRUE(has_warning(record::session_warnings(s), "are timed in fewer than 20 steps of the counter"));
    EXPECT_TRUE(has_warning(record::session_warnings(s), "advances 21 cycles at a time"));
    s.counter_step = 1.0;

    // The largest row read a third faster in the first pass than in the
    // others: the memory moved, where the core-bound watch did not.
    record::Session moved = made_up();
    for (int i = 0; i < 15; i++)
        moved.passes.gbs[i][0] *= 1.34;
    std::vector<double> rows = record::row_by_pass(moved.passes);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NEAR(rows[0], 1.34, 1e-9);
    EXPECT_NEAR(rows[2], 1.0, 1e-9);
    w = record::session_warnings(moved);
    EXPECT_TRUE(has_warning(w, "34 % faster in pass 1 than in pass 2")) << w.size();
    EXPECT_FALSE(has_warning(w, "drift watch"));

    s.huge_share = 0.01;
    s.latency_huge_share = -1.0;  // no latency: no buffer to judge
    s.passes.drift = {{0.0, 70.0}, {3.0, 73.0}};  // 4.2 %
    s.other_work_cpus = 0.1;
    s.cpu_mhz_after = 805.0;
    s.counter_mhz_after = 2400.0 * 1.000005;
    EXPECT_EQ(record::session_warnings(s), std::vector<std::string>{});

    // Of the checks before, the clock rate's factor is no concern of the
    // record's; a line that moves is.
    std::vector<checks::Check> report = {
        checks::clock_check({{checks::Source::line, 800.0}}, 2400.0, true),
        checks::memory_check("MemAvailable:    2048000 kB\n"),
        checks::load_check("cpu 0 0 0 100\ncpu0\n", "cpu 50 0 0 150\ncpu0\n", 0.0, 1.0)};
    ASSERT_EQ(report[0].status, checks::Status::warn);
    w = record::check_warnings(report, "before");
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].rfind("before: other load: other work kept 0.50 of 1 CPUs busy", 0), 0u) << w[0];
    EXPECT_NE(w[0].find(" -- " + report[2].note), std::string::npos) << w[0];
    report[0] = checks::clock_check({{checks::Source::line, 2400.0}, {checks::Source::line, 3100.0}}, 2400.0, true);
    w = record::check_warnings(report, "before");
    EXPECT_TRUE(has_warning(w, "\"cpu MHz\" line moved from 2400.000 to 3100.000 MHz")) << w.size();
}

/* ---------------------------------------------------------------- the machine */

TEST(Machine, ReadsTheHugePageShareOfARangeFromSmaps)
{
    // A 16 MiB range from 0x10000000; 4 MiB of its mapping on huge pages.
    std::string smaps =
        "0f000000-10000000 rw-p 00000000 00:00 0 \n"
        "AnonHugePages:      8192 kB\n"
        "10000000-11000000 rw-p 00000000 00:00 0          [heap]\n"
        "Size:              16384 kB\n"
        "AnonHugePages:      4096 kB\n"
        "VmFlags: rd wr mr mw me ac\n"
        "7f0000000000-7f0000200000 r--p 00000000 08:01 12 /usr/lib/x 1\n"
        "AnonHugePages:      2048 kB\n";
    EXPECT_DOUBLE_EQ(machine::huge_share(smaps, 0x10000000, 0x11000000), 0.25);
    // A mapping larger than the range counts at most the overlap.
    EXPECT_DOUBLE_EQ(machine::huge_share(smaps, 0x10000000, 0x10100000), 1.0);
    EXPECT_EQ(machine::huge_share(smaps, 0x20000000, 0x21000000), 0.0);
    EXPECT_EQ(machine::huge_share("garbage\nAnonHugePages: lots kB\n", 0, 100), 0.0);
}

TEST(Machine, PinsTheCallingThreadToOneAllowedCpuTheLeastBusyByDefault)
{
    std::vector<int> allowed = machine::allowed_cpus();
    ASSERT_FALSE(allowed.empty());
    // In a child, so that this process keeps its CPUs.  The child frees
    // what it allocated before _exit, which runs no destructors: valgrind
    // checks the child's leaks as well.  The session pins itself before the
    // bandwidth plane's threads start: a thread started after that still
    // pins itself to another allowed CPU, and the session keeps its own.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int cpu = allowed.back(), other = allowed.front();
        std::vector<int>().swap(allowed);
        bool ok = machine::pin(cpu);
        auto pinned_to = [](int one) {
            std::vector<int> now = machine::allowed_cpus();
            return now.size() == 1 && now[0] == one;
        };
        std::thread([&] { ok = ok && machine::pin(other) && pinned_to(other); }).join();
        ok = ok && pinned_to(cpu);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(machine::least_busy({0, 1, 2, 3}, {{0, 0.5}, {1, 0.1}, {2, 0.1}, {3, 0.9}}), 1);
    EXPECT_EQ(machine::least_busy({2, 3}, {{0, 0.0}, {3, 0.4}}), 3);  // 2 unknown: as if busy
    EXPECT_FALSE(machine::pin(-1));
}

TEST(Machine, MapsTheLatencyBufferAlignedToHugePagesAndWritable)
{
    const size_t bytes = 3 << 20;
    machine::Mapping buffer(bytes);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_EQ((uintptr_t)buffer.data() % (2 << 20), 0u);
    ASSERT_TRUE(machine::advise_pages(buffer.data(), bytes, machine::Pages::small));
    machine::touch_pages(buffer.data(), bytes);
    static_cast<char *>(buffer.data())[bytes - 1] = 1;
    EXPECT_EQ(machine::huge_share(slurp("/proc/self/smaps"), (uintptr_t)buffer.data(), (uintptr_t)buffer.data() + bytes),
              0.0);
    EXPECT_EQ(machine::map_buffer(0), nullptr);
    // Given back, the pages read as zero again and take writes as before.
    ASSERT_TRUE(machine::give_back_pages(buffer.data(), bytes));
    EXPECT_EQ(static_cast<char *>(buffer.data())[bytes - 1], 0);
    static_cast<char *>(buffer.data())[bytes - 1] = 2;
    EXPECT_EQ(static_cast<char *>(buffer.data())[bytes - 1], 2);
}

/* ---------------------------------------------------------------- the command */

const std::string exe = MEMSWEEP_RECORD_SCRIPTED_EXE;

TEST(RecordCommand, RefusesABadCommandLineBeforeMeasuring)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string fifo = dir.path + "/fifo", dev = dir.path + "/dev";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    // --threads beyond the CPUs this process may use is refused before the
    // session measures or pins anything, as a count of no threads is.
    std::vector<std::string> refused = {"--bogus",       "--passes 0",          "--cpu 1000000",
                                        "--threads 0",   "--threads abc",       "--threads 1,1048576",
                                        "-o /nonexistent/folder/r.json", "-o " + dir.path, "-o " + fifo};
    // A character device, where this process may make one (root).
    bool device = mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (device)
        refused.push_back("-o " + dev);
    for (const std::string &args : refused) {
        // Had it measured, the first measurement would have stopped it.
        Outcome o = run_shell("MEMSWEEP_FAKE_STOP_AFTER=1 " + quote(exe) + " " + args);
        EXPECT_EQ(o.status, 2) << args << ": " << o.err;
        EXPECT_EQ(o.err.rfind("memsweep-record: ", 0), 0u) << args << ": " << o.err;
        EXPECT_NE(o.err.find("\nusage: memsweep-record"), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, device ? "dev\nfifo\n" : "fifo\n");
    EXPECT_EQ(run_shell("stat -c %F " + quote(fifo)).out, "fifo\n");
    if (device) {
        EXPECT_EQ(run_shell("stat -c %F " + quote(dev)).out, "character special file\n");
    }
}

// Started with standard error closed, it writes its warnings nowhere, not
// into the record's file, which would take the free number 2.
TEST(RecordCommand, WithStandardErrorClosedWritesARecordThatParses)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/r.json";
    Outcome o =
        run_shell(quote(exe) + " --passes 1 --no-latency --no-bandwidth --same-pages -o " + quote(file) + " 2>&-");
    EXPECT_EQ(o.status, 0);
    json r = json::parse(slurp(file), nullptr, false);
    ASSERT_TRUE(r.is_object()) << slurp(file).substr(0, 200);
    EXPECT_EQ(r["cells"].size(), 210u);
    EXPECT_EQ(r["pages"]["fresh_each_pass"], false);
}

// A session as a user starts it, with nothing left out: the plane and the
// loaded latency measured for real on this machine's CPUs, over the
// made-up machine's caches and its 144 MiB of free memory.
TEST(RecordCommand, ADefaultSessionRecordsEveryMeasurementAndCompareReadsIt)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/r.json";
    Outcome o = run_shell(quote(exe) + " --passes 2 -o " + quote(file));
    ASSERT_EQ(o.status, 0) << o.err;
    format::Record r;
    std::string error;
    ASSERT_TRUE(format::read_file(file, &r, &error)) << error;
    EXPECT_EQ(r.passes, 2);
    EXPECT_FALSE(r.latency.empty());
    ASSERT_TRUE(r.has_plane);
    EXPECT_EQ(r.plane.ended, "");
    ASSERT_FALSE(r.bandwidth.empty());
    // memsweep's array is taken from the free memory once, not once per
    // thread count: 144 MiB leave 16 MiB, which every count shares.
    std::map<int, uint64_t> largest;
    for (const format::BandwidthPoint &p : r.bandwidth)
        largest[p.threads] = std::max(largest[p.threads], p.bytes * (uint64_t)p.threads);
    EXPECT_EQ(largest.size(), r.plane.threads.size());
    for (auto [threads, bytes] : largest)
        EXPECT_GE(bytes, uint64_t(4) << 20) << threads << " threads";
    if (machine::allowed_cpus().size() >= 2) {
        ASSERT_GE(r.loaded.size(), 2u) << o.err;
        EXPECT_EQ(r.loaded[0].delay, format::idle_delay);
        EXPECT_NE(o.err.find("loaded latency: idle"), std::string::npos) << o.err;
    }
    Outcome same = run_shell(quote(MEMSWEEP_COMPARE_EXE) + " " + quote(file) + " " + quote(file));
    EXPECT_EQ(same.status, 0) << same.err;
}

// A pod's quota ends the plane's default counts at the whole CPUs it pays
// for; counts asked for are taken as asked.
TEST(Plane, TheQuotaEndsTheDefaultThreadCounts)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    auto put = [&](const std::string &path, const std::string &text) { dir.put(path, text); };
    put("/proc/self/cgroup", "0::/pod\n");
    put("/sys/fs/cgroup/pod/cpu.max", "250000 100000\n");  // 2.5 CPUs
    record::PlaneSetup s = record::place_plane(dir.path, {0, 1, 2, 3, 4, 5, 6, 7}, {});
    EXPECT_EQ(s.counts, (std::vector<int>{1, 2}));
    s = record::place_plane(dir.path, {0, 1, 2, 3, 4, 5, 6, 7}, {4});
    EXPECT_EQ(s.counts, (std::vector<int>{4}));
    EXPECT_NE(s.warning, "");
    put("/sys/fs/cgroup/pod/cpu.max", "50000 100000\n");  // half a CPU: one thread still
    EXPECT_EQ(record::place_plane(dir.path, {0, 1, 2, 3}, {}).counts, (std::vector<int>{1}));
    put("/sys/fs/cgroup/pod/cpu.max", "max 100000\n");
    EXPECT_EQ(record::place_plane(dir.path, {0, 1, 2}, {}).counts, (std::vector<int>{1, 2, 3}));
}

// The quota's throttling, read before and after every pass: a pass whose
// count rose is named, in the warnings and in the record.
TEST(Passes, APassTheQuotaThrottledIsNamed)
{
    fake_run::reset();
    fake_chase::reset();
    record::Plan plan;
    plan.passes = 3;
    plan.seed = 1;
    plan.mhz = 2500.0;
    plan.watch_every_s = 1e9;
    // Readings: before and after pass 1 (0, 0), pass 2 (0, 4), pass 3 (4, 4).
    int reads = 0;
    plan.throttled = [&reads] { return (long long)(reads++ >= 3 ? 4 : 0); };
    record::Passes p = record::measure(plan);
    EXPECT_EQ(p.throttled_passes, std::vector<int>{2});
    EXPECT_EQ(p.throttled_periods, 4);
    record::Session s = made_up();
    s.passes.throttled_passes = {2, 3};
    s.passes.throttled_periods = 9;
    EXPECT_TRUE(has_warning(record::session_warnings(s),
                            "passes 2 and 3 of the session were throttled by the cgroup's CPU quota (cpu.stat's "
                            "nr_throttled rose by 9)"));
    json j = record_json(s);
    EXPECT_EQ(j["throttled_passes"], json({2, 3}));
    // No cgroup to read: nothing is named.
    plan.throttled = [] { return -1LL; };
    EXPECT_TRUE(record::measure(plan).throttled_passes.empty());
}

// --plane-upto ends every count's working sets at its size, all kernels'.
TEST(RecordCommand, ThePlanesEndForTestsEndsEveryKernelsSizes)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/r.json";
    Outcome o = run_shell(quote(exe) + " --passes 1 --no-latency --no-loaded-latency --threads 1 --plane-upto 32K -o " +
                          quote(file));
    ASSERT_EQ(o.status, 0) << o.err;
    format::Record r;
    std::string error;
    ASSERT_TRUE(format::read_file(file, &r, &error)) << error;
    std::map<std::string, std::vector<uint64_t>> sizes;
    for (const format::BandwidthPoint &p : r.bandwidth)
        sizes[p.kernel].push_back(p.bytes);
    std::vector<bandwidth::Choice> kernels = bandwidth::choose_all();
    EXPECT_EQ(sizes.size(), (size_t)std::count_if(kernels.begin(), kernels.end(),
                                                  [](const bandwidth::Choice &c) { return c.fn != nullptr; }));
    for (const auto &[kernel, bytes] : sizes)
        EXPECT_EQ(bytes, (std::vector<uint64_t>{16384, 32768})) << kernel;
}

// --cpu names the session's CPU, not the only one it may use: the loaded
// latency still loads the others, as the plane does.
TEST(RecordCommand, ACpuNamedOnTheCommandLineStillHasTheOthersLoadIt)
{
    std::vector<int> allowed = machine::allowed_cpus();
    if (allowed.size() < 2)
        GTEST_SKIP() << "the loaded latency needs two CPUs";
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/r.json";
    Outcome o = run_shell(quote(exe) + " --passes 1 --no-bandwidth --cpu " + std::to_string(allowed.back()) +
                          " -o " + quote(file));
    ASSERT_EQ(o.status, 0) << o.err;
    format::Record r;
    std::string error;
    ASSERT_TRUE(format::read_file(file, &r, &error)) << error;
    EXPECT_EQ(r.cpu, allowed.back());
    EXPECT_GE(r.loaded.size(), 2u) << o.err;
    EXPECT_EQ(o.err.find("the only one this session may use"), std::string::npos) << o.err;

    // More threads than CPUs, counted as a person would.
    std::string refused = bandwidth::place("", {allowed[0]}, 2).error;
    EXPECT_NE(refused.find("may use 1 CPU"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("1 CPUs"), std::string::npos) << refused;
}

// -o - puts the record on standard output, in the table's place, and makes
// no file of that name.
TEST(RecordCommand, ARecordOnStandardOutputTakesTheTablesPlace)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string run = "cd " + quote(dir.path) + " && " + quote(exe) +
                            " --passes 1 --no-latency --no-bandwidth --no-loaded-latency -o -";
    Outcome o = run_shell(run);
    ASSERT_EQ(o.status, 0) << o.err;
    json r = json::parse(o.out, nullptr, false);
    ASSERT_TRUE(r.is_object()) << o.out.substr(0, 200);
    EXPECT_EQ(r["cells"].size(), 210u);
    EXPECT_NE(o.err.find("; record: standard output\n"), std::string::npos) << o.err;
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "");
    o = run_shell(run + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("memsweep-record: can't write standard output: "), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("; record: "), std::string::npos) << o.err;
}

TEST(RecordCommand, WritesTheMedianTableAndARecordThatParsesAndLeavesNothingElse)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/r.json";
    Outcome o = run_shell(quote(exe) + " --passes 2 --seed 7 --no-bandwidth --no-loaded-latency --fresh-pages -o " +
                          quote(file));
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), 211u);
    EXPECT_EQ(lines[1], "14\t1\t15.0");
    json r = json::parse(slurp(file));
    EXPECT_EQ(r["seed"], 7);
    EXPECT_EQ(r["passes"], 2);
    EXPECT_EQ(r["bandwidth"], json::array());  // --no-bandwidth
    EXPECT_TRUE(r["bandwidth_plane"].is_null());
    EXPECT_EQ(r["cells"].size(), 210u);
    // The latency: the sizes that the made-up machine's caches and memory
    // call for, each measured in both passes (the stand-in's 4 counter
    // cycles per load up to 32 KiB, 100 beyond), and its summary line.
    const json &latency = r["latency"];
    std::vector<uint64_t> sizes =
        latency::latency_sizes(fake_facts::caches, memsweep::memory_room(fake_facts::available_mib) / 4);
    ASSERT_EQ(sizes.back(), 4u << 20);
    ASSERT_EQ(latency.size(), sizes.size());
    EXPECT_EQ(r["checks_before"]["checks"]["caches"]["cpu0"].size(), 3u);
    double mhz = r["clock"]["counter_mhz"].get<double>();
    for (size_t j = 0; j < latency.size(); j++) {
        uint64_t bytes = latency[j]["bytes"].get<uint64_t>();
        EXPECT_EQ(bytes, sizes[j]);
        double cycles = bytes <= 32768 ? 4.0 : 100.0;
        EXPECT_EQ(latency[j]["passes"].size(), 2u) << bytes;
        EXPECT_NEAR(latency[j]["ns"].get<double>(), cycles / mhz * 1000.0, 1e-9) << bytes;
        EXPECT_NEAR(latency[j]["cycles"].get<double>(), cycles, 1e-9) << bytes;
    }
    EXPECT_TRUE(r["pages"]["latency_huge_share"].is_number());
    EXPECT_TRUE(r["pages"]["huge_share_after"].is_number());
    EXPECT_EQ(r["pages"]["fresh_each_pass"], true);
    EXPECT_EQ(r["loaded_latency_probe_seconds"], 0.0);  // --no-loaded-latency
    EXPECT_TRUE(std::regex_search(o.err, std::regex("\nmemsweep-record: latency: L1d [^\n]*, memory [0-9.]+ ns\n$")))
        << o.err;
    std::vector<int> allowed = machine::allowed_cpus();
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), r["cpu"].get<int>()), allowed.end());
    EXPECT_EQ(r["checks_before"]["checks"].size(), 8u);
    EXPECT_GT(r["clock"]["counter_mhz"].get<double>(), 0.0);
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "r.json\n");

    // A full disk on standard output is a failure, in one line (beside any
    // warnings a busy machine earns); the record is made all the same.
    o = run_shell(quote(exe) + " --passes 1 --no-latency --no-bandwidth --quiet -o " + quote(dir.path + "/s.json") + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    std::vector<std::string> lines_err = lines_of(o.err), errors;
    std::copy_if(lines_err.begin(), lines_err.end(), std::back_inserter(errors),
                 [](const std::string &line) { return line.rfind("memsweep-record: warning: ", 0) != 0; });
    ASSERT_EQ(errors.size(), 1u) << o.err;
    EXPECT_EQ(errors[0].rfind("memsweep-record: can't write standard output: ", 0), 0u) << o.err;
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "r.json\ns.json\n");
    // --no-latency leaves the latency list empty, and the buffer unmade.
    r = json::parse(slurp(dir.path + "/s.json"));
    EXPECT_EQ(r["latency"], json::array());
    EXPECT_TRUE(r["pages"]["latency_huge_share"].is_null());
    EXPECT_EQ(r["cells"].size(), 210u);
}

// -o - is standard output, as "-" is in every command: it gets the record
// instead of the table, and no file of that name is made.
TEST(RecordCommand, ARecordNamedDashGoesToStandardOutputAlone)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    Outcome o = run_shell("cd " + quote(dir.path) + " && " + quote(exe) +
                          " --passes 1 --no-latency --no-bandwidth --no-loaded-latency --quiet -o -");
    ASSERT_EQ(o.status, 0) << o.err;
    json r = json::parse(o.out, nullptr, false);
    ASSERT_TRUE(r.is_object()) << o.out.substr(0, 200);
    EXPECT_EQ(r["cells"].size(), 210u);
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "");
}

// Stopped by Ctrl-C, or killed outright, a session leaves no file behind;
// a Ctrl-C that was ignored when it started (a job in the background) is
// ignored still.
TEST(RecordCommand, StoppedByCtrlCExits130AndLeavesNoFileBehind)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string run = quote(exe) + " --quiet --no-latency --no-bandwidth --passes 1 -o " + quote(dir.path + "/r.json");
    Outcome o = run_shell("MEMSWEEP_FAKE_STOP_AFTER=100 " + run);
    EXPECT_EQ(o.status, 130) << o.err;
    EXPECT_EQ(o.out, "");
    o = run_shell("MEMSWEEP_FAKE_STOP_AFTER=100 MEMSWEEP_FAKE_STOP_SIGNAL=9 " + run);
    EXPECT_EQ(o.status, 137) << o.err;
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "");
    o = run_shell("trap '' INT; MEMSWEEP_FAKE_STOP_AFTER=100 " + run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(run_shell("ls -A " + quote(dir.path)).out, "r.json\n");
}

}  // namespace
