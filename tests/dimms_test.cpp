// SPDX-License-Identifier: MIT
// The memory's rated peak on made-up machines: udev's memory properties of
// servers and a laptop, an SMBIOS table, AMD's EDAC listing ranks, and a
// virtual machine with none of them.  Each is gathered from a folder in the
// system's layout, as memsweep-check --root reads one.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "check/checks.h"
#include "check/dimms.h"
#include "tools.h"

namespace {

using namespace checks;
using json = nlohmann::json;

// A DIMM as udev's dmi_memory_id names it, or an empty slot.
struct Slot {
    std::string locator, bank;
    uint64_t gib = 0;  // 0: empty
    std::string type = "DDR5";
    long rated = 5600, configured = 5600, width = 64;
};

std::string udev_entry(const std::vector<Slot> &slots)
{
    std::string text = "I:12345\nE:MEMORY_ARRAY_LOCATION=System Board Or Motherboard\n";
    for (size_t i = 0; i < slots.size(); i++) {
        const Slot &s = slots[i];
        std::string p = "E:MEMORY_DEVICE_" + std::to_string(i) + "_";
        text += p + "LOCATOR=" + s.locator + "\n" + p + "BANK_LOCATOR=" + s.bank + "\n";
        if (s.gib == 0) {
            text += p + "PRESENT=0\n";
            continue;
        }
        text += p + "PRESENT=1\n" + p + "SIZE=" + std::to_string(s.gib << 30) + "\n" + p + "TYPE=" + s.type + "\n" +
                p + "SPEED_MTS=" + std::to_string(s.rated) + "\n" + p + "CONFIGURED_SPEED_MTS=" +
                std::to_string(s.configured) + "\n" + p + "DATA_WIDTH=" + std::to_string(s.width) + "\n" + p +
                "TOTAL_WIDTH=" + std::to_string(s.width == 64 ? 80 : s.width) + "\n";
    }
    return text;
}

// Two sockets of 12 channels, A to L, one 64 GiB DDR5-5600 DIMM on each and
// its second slot empty.
std::vector<Slot> two_sockets()
{
    std::vector<Slot> slots;
    for (int socket = 0; socket < 2; socket++)
        for (char channel = 'A'; channel <= 'L'; channel++) {
            std::string name = "CPU" + std::to_string(socket) + "_DIMM_" + channel;
            std::string bank = "NODE " + std::to_string(socket);
            slots.push_back({name + "1", bank, 64});
            slots.push_back({name + "2", bank, 0});
        }
    return slots;
}

// memory gathers a folder holding `files` (path, text) and judges its
// memory line.
Check memory(const std::vector<std::pair<std::string, std::string>> &files)
{
    TempFolder dir;
    for (const auto &[path, text] : files) {
        std::filesystem::path at = dir.path + "/" + path;
        std::filesystem::create_directories(at.parent_path());
        std::ofstream(at, std::ios::binary) << text;
    }
    std::vector<Check> all = judge(gather(dir.path, 0.0));
    auto memory = std::find_if(all.begin(), all.end(), [](const Check &c) { return c.key == "memory"; });
    return memory != all.end() ? *memory : Check();
}

const char udev_path[] = "run/udev/data/+dmi:id";

TEST(RatedPeak, ATwoSocketServerIsItsChannelsTimesTheirSpeedAndWidth)
{
    Check c = memory({{udev_path, udev_entry(two_sockets())}, {"sys/devices/system/node/online", "0-1\n"}});
    const Memory &m = std::get<Memory>(c.data);
    EXPECT_EQ(m.rated_source, "udev");
    EXPECT_EQ(m.numa_nodes, 2);
    EXPECT_NE(c.figures.find("; 2 NUMA nodes"), std::string::npos) << c.figures;
    EXPECT_EQ(json::parse(format_json({c}, ""))["checks"]["memory"]["numa_nodes"], 2);
    EXPECT_EQ(m.channels, 24);
    EXPECT_EQ(m.mts, 5600);
    ASSERT_TRUE(m.rated_gbs.has_value()) << c.figures;
    EXPECT_NEAR(*m.rated_gbs, 1075.2, 1e-9);  // 24 x 5600 MT/s x 8 bytes
    EXPECT_EQ(m.dimms.size(), 24u);
    EXPECT_NE(c.figures.find("rated peak 1075.2 GB/s: 24 channels at 5600 MT/s, 24 devices of DDR5 (udev)"),
              std::string::npos)
        << c.figures;
    EXPECT_EQ(c.note, "");  // the empty second slots leave no channel empty

    // One DIMM missing: its channel is empty, and the peak is 23 channels'.
    std::vector<Slot> missing = two_sockets();
    missing[2 * 16].gib = 0;  // CPU1_DIMM_E1
    c = memory({{udev_path, udev_entry(missing)}});
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_NEAR(*std::get<Memory>(c.data).rated_gbs, 1030.4, 1e-9);
    EXPECT_NE(c.note.find("1 of 24 channels have no device (NODE 1/CPU1_DIMM_E)"), std::string::npos) << c.note;

    // One below its rated speed: its channel runs at what it is set to.
    std::vector<Slot> slow = two_sockets();
    slow[4].configured = 4800;  // CPU0_DIMM_C1
    c = memory({{udev_path, udev_entry(slow)}});
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_NEAR(*std::get<Memory>(c.data).rated_gbs, (23 * 5600 + 4800) * 8 / 1000.0, 1e-9);
    EXPECT_EQ(std::get<Memory>(c.data).mts, 4800);
    EXPECT_NE(c.note.find("CPU0_DIMM_C1 runs at 4800 MT/s, below its rated 5600"), std::string::npos) << c.note;

    // Mixed sizes, and a second DIMM on one channel.
    std::vector<Slot> mixed = two_sockets();
    mixed[0].gib = 32;
    mixed[1].gib = 32;  // CPU0_DIMM_A2
    c = memory({{udev_path, udev_entry(mixed)}});
    EXPECT_EQ(std::get<Memory>(c.data).channels, 24);  // two DIMMs on a channel count once
    EXPECT_NE(c.note.find("mixed sizes (32 GiB, 64 GiB)"), std::string::npos) << c.note;
    EXPECT_NE(c.note.find("hold 1 to 2 devices"), std::string::npos) << c.note;
}

// A laptop's LPDDR5: eight 16-bit packages, each on a channel of its own.
TEST(RatedPeak, ALaptopsLpddrCountsItsNarrowChannels)
{
    std::vector<Slot> slots;
    for (int controller = 0; controller < 2; controller++)
        for (char channel = 'A'; channel <= 'D'; channel++)
            slots.push_back({"Controller" + std::to_string(controller) + "-Channel" + channel + "-DIMM0",
                             "BANK " + std::to_string(controller), 2, "LPDDR5", 6400, 6400, 16});
    Check c = memory({{udev_path, udev_entry(slots)}});
    const Memory &m = std::get<Memory>(c.data);
    EXPECT_EQ(m.channels, 8);
    ASSERT_TRUE(m.rated_gbs.has_value()) << c.figures;
    EXPECT_NEAR(*m.rated_gbs, 102.4, 1e-9);  // 8 x 6400 MT/s x 2 bytes
    EXPECT_EQ(c.note, "");
}

// The SMBIOS table, where root may read it and udev has nothing: two DDR4
// DIMMs, one with its size in the extended field, both set below their
// rated 3200.
std::string smbios_table()
{
    auto device = [](uint16_t size, uint32_t extended, const char *locator, const char *bank) {
        std::string s(0x28, '\0');
        s[0] = 17;
        s[1] = 0x28;
        auto word = [&](size_t at, unsigned v) {
            s[at] = (char)(v & 0xff);
            s[at + 1] = (char)(v >> 8);
        };
        word(0x08, 72);
        word(0x0a, 64);
        word(0x0c, size);
        s[0x10] = 1;  // the first string
        s[0x11] = 2;
        s[0x12] = 0x1a;  // DDR4
        word(0x15, 3200);
        word(0x1c, extended & 0xffff);
        word(0x1e, extended >> 16);
        word(0x20, 2933);
        return s + locator + '\0' + bank + '\0' + '\0';
    };
    std::string other(0x10, '\0');
    other[0] = 16;  // the memory array, whose strings are none
    other[1] = 0x10;
    std::string end = std::string("\x7f\x04\0\0", 4) + '\0' + '\0';
    return other + '\0' + '\0' + device(16384, 0, "DIMM 0", "P0 CHANNEL A") +
           device(0x7fff, 32768, "DIMM 1", "P0 CHANNEL B") + end;
}

TEST(RatedPeak, TheSmbiosTableGivesItWhereUdevHasNothing)
{
    Check c = memory({{"sys/firmware/dmi/tables/DMI", smbios_table()}});
    const Memory &m = std::get<Memory>(c.data);
    EXPECT_EQ(m.rated_source, "SMBIOS");
    ASSERT_EQ(m.dimms.size(), 2u);
    EXPECT_EQ(m.dimms[0].size_bytes, uint64_t(16) << 30);
    EXPECT_EQ(m.dimms[1].size_bytes, uint64_t(32) << 30);  // from the extended size
    EXPECT_EQ(m.dimms[1].type, "DDR4");
    EXPECT_EQ(channel_of(m.dimms[1]), "P0 CHANNEL B");
    ASSERT_TRUE(m.rated_gbs.has_value()) << c.figures;
    EXPECT_NEAR(*m.rated_gbs, 2 * 2933 * 8 / 1000.0, 1e-9);
    EXPECT_NE(c.note.find("DIMM 0 runs at 2933 MT/s, below its rated 3200"), std::string::npos) << c.note;
    // Cut short anywhere, the table gives no device it can't read whole.
    std::string table = smbios_table();
    for (size_t n = 0; n < table.size(); n += 7)
        EXPECT_LE(smbios_dimms(table.substr(0, n)).size(), 2u);
}

// AMD's EDAC lists each rank as a device of its channel: two ranks on each
// of two channels make two channels, and EDAC knows no speed.
TEST(RatedPeak, EdacsRanksCountTheirChannelsOnceAndLeaveThePeakUnknown)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (int rank = 0; rank < 4; rank++) {
        std::string at = "sys/devices/system/edac/mc/mc0/rank" + std::to_string(rank) + "/";
        files.push_back({at + "dimm_label",
                         "mc#0csrow#" + std::to_string(rank % 2) + "channel#" + std::to_string(rank / 2) + "\n"});
        files.push_back({at + "size", "16384\n"});
        files.push_back({at + "dimm_mem_type", "Unbuffered-DDR4\n"});
    }
    Check c = memory(files);
    const Memory &m = std::get<Memory>(c.data);
    EXPECT_EQ(m.rated_source, "EDAC");
    EXPECT_EQ(m.channels, 2);
    EXPECT_FALSE(m.rated_gbs.has_value());
    EXPECT_NE(c.figures.find("rated peak unknown: EDAC gives no speed or data width for channel mc0 channel 0 (4 devices of "
                             "DDR4, 2 channels, EDAC)"),
              std::string::npos)
        << c.figures;
    EXPECT_EQ(c.note, "");
}

// A virtual machine has none of the three: "unknown", never 0, with why.
TEST(RatedPeak, AVirtualMachineWithNoneIsUnknownAndSaysWhy)
{
    Check c = memory({{"proc/meminfo", "MemAvailable:   8388608 kB\n"}});
    const Memory &m = std::get<Memory>(c.data);
    EXPECT_EQ(c.status, Status::ok);
    EXPECT_FALSE(m.rated_gbs.has_value());
    EXPECT_NE(c.figures.find("rated peak unknown: no memory devices in udev's database"), std::string::npos)
        << c.figures;
    EXPECT_NE(m.rated_unknown.find("no SMBIOS table"), std::string::npos) << m.rated_unknown;
    json j = json::parse(format_json({c}, ""))["checks"]["memory"];
    EXPECT_TRUE(j["rated_gbs"].is_null());
    EXPECT_TRUE(j["rated_unknown"].is_string());
    EXPECT_TRUE(j["numa_nodes"].is_null());  // no node folder: not one node, unknown
    EXPECT_EQ(c.figures.find("NUMA"), std::string::npos) << c.figures;
    // A locator that names no channel leaves the peak unknown too.
    Check odd = memory({{udev_path, udev_entry({{"Onboard", "", 8}})}});
    EXPECT_NE(odd.figures.find("the locator \"Onboard\" names no channel"), std::string::npos) << odd.figures;
}

}  // namespace
