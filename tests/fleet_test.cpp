// SPDX-License-Identifier: MIT
// memsweep-compare --fleet: hosts grouped by identity, each host's memory
// figures held against its group's by robust z, on made-up records; and the
// command's lines, document and drain list.
#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "compare/fleet.h"
#include "format/writer.h"
#include "tools.h"

namespace {

using compare::FleetVerdict;
using compare::Member;

// host makes a host's record: memory rows, the plane's vector read at 1
// and 2 threads beyond a 32 MiB L3, and the memory latency, each scaled by
// `scale` (latency by its inverse) and by a noise of a percent or so.
Member host(const std::string &name, double scale, std::mt19937 &noise)
{
    std::normal_distribution<double> percent(1.0, 0.01);
    Member m;
    m.host = name;
    m.file = name + ".json";
    format::Record &r = m.record;
    r.host = name;
    r.model = "Made-up CPU";
    r.cpus = 16;
    r.numa_nodes = 1;
    r.memory_mib = 128 * 1024.0 - 300.0;
    r.pages = "system";
    r.rated.kind = "DDR5-5600";
    r.caches = {{"L1d", 48 << 10}, {"L3", 32 << 20}};
    r.passes = 1;
    for (int label = 14; label >= 1; label--)
        for (int stride = 1; stride <= 15; stride++)
            r.cells.push_back({label, stride, format::figures_of({10.0 * scale * percent(noise) / stride})});
    for (int threads : {1, 2})
        for (uint64_t mib : {uint64_t(64), uint64_t(128)})
            r.bandwidth.push_back({"vector-read", "avx2", threads, mib << 20,
                                   format::figures_of({30.0 * threads * scale * percent(noise)})});
    r.latency = {{uint64_t(1) << 30, format::figures_of({100.0 / scale * percent(noise)})}};
    return m;
}

TEST(Fleet, OneHostOfTenWithAChannelMissingIsTheOnlyOneSlower)
{
    std::mt19937 noise(7);
    std::vector<Member> fleet;
    for (int i = 0; i < 10; i++)
        fleet.push_back(host("host-" + std::to_string(i), i == 7 ? 0.88 : 1.0, noise));
    std::vector<compare::FleetGroup> groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_TRUE(groups[0].judged);
    for (const compare::HostVerdict &h : groups[0].hosts) {
        EXPECT_EQ(h.verdict, h.host == "host-7" ? FleetVerdict::slower : FleetVerdict::same) << h.line;
        EXPECT_EQ(h.figures.size(), 4u) << h.host;  // the rows, two plane figures, the latency
    }
    const std::string &line = groups[0].hosts[7].line;
    EXPECT_EQ(line.rfind("host-7 slower: ", 0), 0u) << line;
    EXPECT_NE(line.find("(its memory bandwidth by a median of 12 %)"), std::string::npos) << line;
    EXPECT_NEAR(groups[0].hosts[7].bandwidth_distance, -0.12, 0.01);

    // The latency counts the other way: a host whose loads take 15 % longer
    // is slower by it alone.
    fleet[7] = host("host-7", 1.0, noise);
    fleet[7].record.latency[0].ns = format::figures_of({115.0});
    groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    EXPECT_EQ(groups[0].hosts[7].verdict, FleetVerdict::slower) << groups[0].hosts[7].line;
    EXPECT_NE(groups[0].hosts[7].line.find(": memory latency 1"), std::string::npos) << groups[0].hosts[7].line;
    EXPECT_NE(groups[0].hosts[7].line.find("% above the fleet"), std::string::npos) << groups[0].hosts[7].line;
    // Past the z but within the threshold is no outlier: 3 % off a fleet
    // that agrees within a percent.
    fleet[7] = host("host-7", 0.97, noise);
    groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    EXPECT_EQ(groups[0].hosts[7].verdict, FleetVerdict::same) << groups[0].hosts[7].line;
    EXPECT_EQ(compare::judge_fleet(fleet, 0.02)[0].hosts[7].verdict, FleetVerdict::slower);
}

// Hosts of other kinds are judged apart, and a group of fewer than five is
// unknown, saying why.
TEST(Fleet, GroupsByIdentityAndLeavesSmallGroupsUnknown)
{
    std::mt19937 noise(11);
    std::vector<Member> fleet;
    for (int i = 0; i < 6; i++)
        fleet.push_back(host("a-" + std::to_string(i), 1.0, noise));
    for (int i = 0; i < 3; i++) {
        fleet.push_back(host("b-" + std::to_string(i), 2.0, noise));
        fleet.back().record.model = "Other CPU";
    }
    fleet[0].record.memory_mib -= 32 * 1024.0;  // a DIMM missing: the same kind
    fleet[1].record.rated.gbs = 200.0;           // one fewer channel rated: the same kind
    fleet.push_back(host("a-6", 1.0, noise));
    fleet.back().record.numa_nodes = 2;  // its firmware no longer interleaves: another kind
    std::vector<compare::FleetGroup> groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    ASSERT_EQ(groups.size(), 3u);
    auto two_nodes = std::find_if(groups.begin(), groups.end(), [](const auto &g) { return g.identity.nodes == 2; });
    ASSERT_NE(two_nodes, groups.end());
    EXPECT_FALSE(two_nodes->judged);
    EXPECT_EQ(two_nodes->hosts[0].host, "a-6");
    groups.erase(two_nodes);
    const compare::FleetGroup &a = groups[0].identity.model == "Made-up CPU" ? groups[0] : groups[1];
    const compare::FleetGroup &b = groups[0].identity.model == "Made-up CPU" ? groups[1] : groups[0];
    EXPECT_TRUE(a.judged);
    EXPECT_EQ(a.hosts.size(), 6u);
    for (const compare::HostVerdict &h : a.hosts)
        EXPECT_EQ(h.verdict, FleetVerdict::same) << h.line;
    EXPECT_FALSE(b.judged);
    EXPECT_NE(b.why.find("3 hosts of this kind, fewer than 5"), std::string::npos) << b.why;
    for (const compare::HostVerdict &h : b.hosts)
        EXPECT_EQ(h.verdict, FleetVerdict::unknown);
    EXPECT_EQ(a.identity.text(), "Made-up CPU, 16 CPUs, 1 NUMA node, memory DDR5-5600, pages system, avx2");
}

// Five identical hosts and a sixth off by 20 %: the MAD is 0, the z
// infinite, and the distance decides.  One noisy figure alone, far as it
// is, does not make a host slower: its other figures agree with the fleet.
TEST(Fleet, AFleetThatAgreesExactlyStillFlagsAHostFarOff)
{
    std::mt19937 quiet(1);
    std::vector<Member> fleet;
    for (int i = 0; i < 6; i++) {
        fleet.push_back(host("h" + std::to_string(i), 1.0, quiet));
        fleet.back().record = fleet.front().record;  // the same figures exactly
        fleet.back().record.host = fleet.back().host;
    }
    for (format::BandwidthPoint &p : fleet[5].record.bandwidth)
        p.gbs = format::figures_of({p.gbs.median * 0.8});
    std::vector<compare::FleetGroup> groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    EXPECT_EQ(groups[0].hosts[5].verdict, FleetVerdict::slower) << groups[0].hosts[5].line;
    EXPECT_TRUE(std::isinf(groups[0].hosts[5].figures[1].z));
    EXPECT_EQ(groups[0].hosts[0].verdict, FleetVerdict::same);
    fleet[5].record = fleet[0].record;
    fleet[5].record.bandwidth[3].gbs = format::figures_of({fleet[0].record.bandwidth[3].gbs.median * 0.6});
    groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    EXPECT_EQ(groups[0].hosts[5].verdict, FleetVerdict::same) << groups[0].hosts[5].line;
    EXPECT_TRUE(groups[0].hosts[5].figures[2].outlier);  // the figure itself is one
    // One pass far off the others, as a lucky or a slowed window, leaves
    // the figures as they were: each stands on its point's median.
    fleet[5].record = fleet[0].record;
    for (format::BandwidthPoint &p : fleet[5].record.bandwidth)
        p.gbs = format::figures_of({p.gbs.median * 1.3, p.gbs.median, p.gbs.median});
    fleet[5].record.latency[0].ns = format::figures_of({fleet[0].record.latency[0].ns.median * 0.7,
                                                         fleet[0].record.latency[0].ns.median * 1.4,
                                                         fleet[0].record.latency[0].ns.median});
    groups = compare::judge_fleet(fleet, compare::fleet_threshold);
    EXPECT_EQ(groups[0].hosts[5].verdict, FleetVerdict::same) << groups[0].hosts[5].line;
    EXPECT_FALSE(groups[0].hosts[5].figures[1].outlier);
}

// The command: a folder of records, one line a host, the drain list of the
// slower, the document, and exit 1.
TEST(FleetCommand, JudgesAFolderAndWritesTheDrainListAndTheDocument)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::filesystem::create_directories(dir.path + "/records");
    std::mt19937 noise(3);
    for (int i = 0; i < 8; i++) {
        Member m = host("node" + std::to_string(i), i == 2 ? 0.85 : 1.0, noise);
        // A record as memsweep-record writes it: with the clock it needs.
        m.record.cpu = 0;
        m.record.counter_mhz = 2400.0;
        m.record.factor = 1.0;
        m.record.cpu_mhz = 2400.0;
        format::Written w = format::write_record(m.record);
        ASSERT_EQ(w.error, "");
        std::ofstream(dir.path + "/records/" + m.file) << w.text;
    }
    std::ofstream(dir.path + "/records/broken.json") << "{";
    std::ofstream(dir.path + "/records/notes.txt") << "not a record";
    std::string drain = dir.path + "/drain", doc = dir.path + "/fleet.json";
    Outcome o = run_shell(quote(MEMSWEEP_COMPARE_EXE) + " --fleet --drain " + quote(drain) + " --json " + quote(doc) +
                          " " + quote(dir.path + "/records"));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.out.find("node2 slower: "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("node0 same\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("broken.json: "), std::string::npos) << o.err;  // left out, saying so
    EXPECT_EQ(o.err.find("notes.txt"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("fleet of 8 hosts in 1 group: 1 slower, 0 faster, 7 same, 0 unknown"), std::string::npos)
        << o.err;
    EXPECT_EQ(slurp(drain), "node2\n");
    nlohmann::json j = nlohmann::json::parse(slurp(doc), nullptr, false);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["format"], "memsweep-compare-fleet");
    EXPECT_EQ(j["groups"][0]["hosts"].size(), 8u);
    EXPECT_EQ(j["groups"][0]["hosts"][2]["verdict"], "slower");

    // A fleet too small: unknown, exit 0, an empty drain list.
    o = run_shell(quote(MEMSWEEP_COMPARE_EXE) + " --fleet --drain " + quote(drain) + " " +
                  quote(dir.path + "/records/node0.json") + " " + quote(dir.path + "/records/node2.json"));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("node2 unknown: 2 hosts of this kind, fewer than 5"), std::string::npos) << o.out;
    EXPECT_EQ(slurp(drain), "\n");
    // Usage: --drain without --fleet, --data with it, nothing to judge.
    for (const char *args : {"--drain x a b", "--fleet --data x a", "--fleet", "--fleet -"})
        EXPECT_EQ(run_shell(quote(MEMSWEEP_COMPARE_EXE) + " " + args).status, 2) << args;
}

}  // namespace
