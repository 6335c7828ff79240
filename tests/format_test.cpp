// SPDX-License-Identifier: MIT
// The record's one definition: what the writer writes, the reader reads
// back whole; a figure JSON can't hold is never written as one; and every
// member the writer writes is named in memsweep-record(1).
#include "format/reader.h"
#include "format/writer.h"

#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

// full is a record with every member the model has set to something other
// than its default, and a point in every list.
format::Record full()
{
    format::Record r;
    r.passes = 3;
    r.version = "0.1.0";
    r.command = {"memsweep-record", "-o", "r.json"};
    r.start = "2026-12-10T10:00:00Z";
    r.end = "2026-12-10T10:05:00Z";
    r.seconds = 300.5;
    r.seed = (uint64_t(1) << 63) + 5;
    r.cpu = 1;
    r.model = "A made-up CPU";
    r.cpus = 2;
    r.numa_nodes = 2;
    r.memory_mib = 24000.0;
    r.pages = "huge";
    r.huge_share = 0.5;
    r.fresh_pages = true;
    r.huge_share_after = 0.25;
    r.latency_huge_share = 0.75;
    r.cpu_mhz = 2000.0;
    r.counter_mhz = 2600.0;
    r.factor = 2000.0 / 2600.0;
    r.counter_step = 2.0;
    r.checks_before = R"({"checks":{"caches":{"cpu0":[{"level":1,"size_bytes":49152,"type":"Data"}]},)"
                      R"("frequency_scaling":{"governors":{"performance":2},"turbo":"on"}}})";
    r.checks_after = R"({"checks":{}})";
    r.governors = "performance on 2";
    r.turbo = "on";
    r.caches = {{"L1d", 49152}};
    r.other_work_cpus = 0.125;
    r.cpu_mhz_after = 2001.0;
    r.counter_mhz_after = 2599.0;
    r.warnings = {"a warning"};
    r.drift = {{0.0, 60.0}, {3.5, 59.0}};
    r.largest_row_by_pass = {1.0, 0.5, 1.5};
    for (int label = 14; label >= 1; label--)
        for (int stride = 1; stride <= 15; stride++)
            r.cells.push_back({label, stride, format::figures_of({1.0 * label, 2.0 * stride, 3.0})});
    r.latency_seconds = 12.5;
    r.latency = {{16384, format::figures_of({1.25, 1.5, 1.0})}, {1 << 20, format::figures_of({9.0, 8.0, 10.0})}};
    r.has_plane = true;
    r.plane = {"counter", "why not", {1, 2}, {{0}, {0, 1}}, {"write: left out"}, "it ended"};
    r.has_bandwidth = true;
    r.bandwidth_seconds = 20.0;
    r.bandwidth = {{"vector-read", "avx512", 2, 65536, format::figures_of({300.0, 310.0, 290.0})}};
    r.loaded_seconds = 30.0;
    r.loaded_probe_seconds = 4.0;
    format::LoadedLatencyPoint idle, full_load;
    idle.ns = format::figures_of({100.0, 101.0, 99.0});
    full_load.kernel = "copy";
    full_load.delay = 0;
    full_load.load_passes = {20.0, 21.0, 19.0};
    full_load.load_gbs = 20.0;
    full_load.ns = format::figures_of({300.0, 310.0, 290.0});
    r.loaded = {idle, full_load};
    r.host = "host-07";
    r.throttled_passes = {2};
    r.rated = {537.6, "udev", "", "DDR5-5600"};
    return r;
}

std::string written(const format::Record &r)
{
    format::Written w = format::write_record(r);
    EXPECT_EQ(w.error, "");
    return w.text;
}

TEST(Format, WhatTheWriterWritesTheReaderReadsWhole)
{
    const format::Record r = full();
    const std::string text = written(r);
    format::Record back;
    std::string error;
    ASSERT_TRUE(format::read_record(text, &back, &error)) << error;
    // Whatever the reader missed, the second writing would lose.
    std::istringstream first(text), second(written(back));
    std::string a, b;
    for (int line = 1; std::getline(first, a) && std::getline(second, b); line++)
        ASSERT_EQ(a, b) << "line " << line;
    EXPECT_FALSE(std::getline(second, b));
    EXPECT_EQ(back.seed, r.seed);
    EXPECT_EQ(back.governors, r.governors);
    EXPECT_EQ(back.turbo, r.turbo);
    ASSERT_EQ(back.caches.size(), 1u);
    EXPECT_EQ(back.caches[0].name, "L1d");
    EXPECT_EQ(back.plane.cpus, r.plane.cpus);
    ASSERT_EQ(back.loaded.size(), 2u);
    EXPECT_EQ(back.loaded[0].delay, format::idle_delay);
    EXPECT_EQ(back.loaded[1].load_passes, r.loaded[1].load_passes);
    EXPECT_EQ(back.host, "host-07");
    EXPECT_EQ(back.numa_nodes, 2);
    EXPECT_EQ(back.rated.gbs, 537.6);
    EXPECT_EQ(back.rated.source, "udev");

    // Unknowns are null, and read back as unknown.
    format::Record unknown = full();
    unknown.memory_mib = unknown.huge_share_after = unknown.other_work_cpus = -1.0;
    unknown.has_plane = false;
    json j = json::parse(written(unknown));
    EXPECT_TRUE(j["machine"]["memory_mib"].is_null());
    EXPECT_TRUE(j["bandwidth_plane"].is_null());
    ASSERT_TRUE(format::read_record(j.dump(), &back, &error)) << error;
    EXPECT_LT(back.memory_mib, 0.0);
    EXPECT_LT(back.other_work_cpus, 0.0);
    EXPECT_FALSE(back.has_plane);

    // The rated peak unknown, with why; a record from before it, with the
    // reader's own why; a peak of 0 is no figure.
    unknown.rated = {-1.0, "", "no SMBIOS table", ""};
    j = json::parse(written(unknown));
    EXPECT_TRUE(j["memory"]["rated_gbs"].is_null());
    EXPECT_TRUE(j["memory"]["share"].is_null());
    ASSERT_TRUE(format::read_record(j.dump(), &back, &error)) << error;
    EXPECT_EQ(back.rated.unknown, "no SMBIOS table");
    j.erase("memory");
    ASSERT_TRUE(format::read_record(j.dump(), &back, &error)) << error;
    EXPECT_EQ(back.rated.unknown, "the record names no rated peak");
    j["memory"] = {{"rated_gbs", 0}};
    EXPECT_FALSE(format::read_record(j.dump(), &back, &error));
    EXPECT_NE(error.find("memory.rated_gbs"), std::string::npos) << error;
}

// The plane's memory figure: the best read at the most threads over the
// working sets beyond the largest cache, all threads' bytes together; the
// largest working set where none is beyond it.
TEST(Format, ThePlanesMemoryFigureIsItsBestReadAtTheMostThreadsBeyondTheCaches)
{
    format::Record r;
    r.caches = {{"L1d", 48 << 10}, {"L3", 32 << 20}};
    // A point counts by its median: one pass far above the others (a lucky
    // window) doesn't make it.
    auto point = [](const char *kernel, int threads, uint64_t bytes, double gbs) {
        return format::BandwidthPoint{kernel, "avx2", threads, bytes, format::figures_of({gbs * 0.98, gbs, gbs * 1.3})};
    };
    r.bandwidth = {point("vector-read", 1, 64 << 20, 30.0), point("vector-read", 2, 16 << 20, 90.0),
                   point("vector-read", 2, 32 << 20, 44.0), point("scalar-read", 2, 64 << 20, 45.5),
                   point("copy", 2, 64 << 20, 60.0)};
    format::MemoryRead m = format::memory_read(r);
    EXPECT_EQ(m.kernel, "scalar-read");  // 16 MiB on 2 threads is 32 MiB, not beyond the L3
    EXPECT_EQ(m.threads, 2);
    EXPECT_EQ(m.gbs, 45.5);
    EXPECT_TRUE(m.beyond_caches);
    r.caches.clear();
    m = format::memory_read(r);
    EXPECT_EQ(m.bytes, uint64_t(64) << 20);
    EXPECT_FALSE(m.beyond_caches);
    r.bandwidth = {point("copy", 2, 64 << 20, 60.0)};
    EXPECT_EQ(format::memory_read(r).kernel, "");
}

TEST(Format, LeavesOutAPointWhoseFigureIsNotFiniteAndSaysSo)
{
    format::Record r = full();
    r.latency[1].ns = format::figures_of({9.0, INFINITY, 10.0});
    r.bandwidth[0].gbs = format::figures_of({NAN, 1.0, 2.0});
    r.loaded[1].load_passes[0] = INFINITY;
    r.drift[1].gbs = NAN;
    r.largest_row_by_pass[1] = NAN;
    format::Written w = format::write_record(r);
    ASSERT_EQ(w.error, "");
    EXPECT_EQ(w.left_out.size(), 4u);
    json j = json::parse(w.text);
    EXPECT_EQ(j["latency"].size(), 1u);
    EXPECT_EQ(j["bandwidth"].size(), 0u);
    EXPECT_EQ(j["loaded_latency"].size(), 1u);
    EXPECT_EQ(j["drift"].size(), 1u);
    EXPECT_TRUE(j["largest_row_by_pass"][1].is_null());
    // The record says what it lost, and its own reader takes it.
    EXPECT_EQ(j["warnings"].size(), 5u);
    format::Record back;
    std::string error;
    ASSERT_TRUE(format::read_record(w.text, &back, &error)) << error;
    EXPECT_TRUE(isnan(back.largest_row_by_pass[1]));
    EXPECT_EQ(back.warnings.size(), 5u);
}

TEST(Format, WritesNoRecordWithoutEveryCellOrAClock)
{
    for (int fault = 0; fault < 3; fault++) {
        format::Record r = full();
        if (fault == 0)
            r.cells[17].gbs = format::figures_of({1.0, -INFINITY, 2.0});
        else if (fault == 1)
            r.counter_mhz = NAN;
        else
            r.factor = INFINITY;
        format::Written w = format::write_record(r);
        EXPECT_NE(w.error, "") << fault;
        EXPECT_EQ(w.error.find('\n'), std::string::npos);
        EXPECT_EQ(w.text, "") << fault;
    }
}

// keys_of gathers the names of every member of v, at any depth.
void keys_of(const json &v, std::set<std::string> *keys)
{
    if (v.is_object())
        for (auto it = v.begin(); it != v.end(); ++it) {
            keys->insert(it.key());
            keys_of(it.value(), keys);
        }
    else if (v.is_array())
        for (const json &item : v)
            keys_of(item, keys);
}

TEST(Format, EveryMemberTheWriterWritesIsNamedInTheManualPage)
{
    json j = json::parse(written(full()));
    // The checks' reports are memsweep-check's, and its page names them.
    j.erase("checks_before");
    j.erase("checks_after");
    std::set<std::string> keys;
    keys_of(j, &keys);
    ASSERT_GT(keys.size(), 50u);

    std::ifstream page(MEMSWEEP_SOURCE_DIR "/man/memsweep-record.1.in");
    ASSERT_TRUE(page.good());
    // A member is named in bold: ".B key", ".BR key ...", "\fBkey".
    std::set<std::string> bold;
    std::string line;
    while (std::getline(page, line)) {
        bool macro = line.rfind(".B ", 0) == 0 || line.rfind(".BR ", 0) == 0;
        std::string text = macro ? line.substr(line.find(' ')) : "";
        for (size_t at = text.find("\\f"); at != std::string::npos; at = text.find("\\f", at))
            text.replace(at, 3, " ");
        std::replace(text.begin(), text.end(), ',', ' ');
        std::istringstream words(text);
        for (std::string w; words >> w;)
            bold.insert(w);
        for (size_t at = line.find("\\fB"); at != std::string::npos; at = line.find("\\fB", at + 3))
            bold.insert(line.substr(at + 3, line.find("\\f", at + 3) - at - 3));
    }
    for (const std::string &key : keys)
        EXPECT_TRUE(bold.count(key) == 1) << key << " is not named in memsweep-record(1)";
}

}  // namespace
