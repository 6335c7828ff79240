// SPDX-License-Identifier: MIT
// memsweep-check's checks on made-up machines, with a counter of 2400 MHz
// (fakes/fake_rate.cpp); then the built command itself.
#include "check/checks.h"
#include "check/proc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <string>

#include "common/files.h"
#include "tools.h"

namespace {

using json = nlohmann::json;
using namespace checks;

// A made-up machine's /proc and /sys below a fresh folder.  Without the
// folder, root would be "" and put() would write to this machine's /sys.
struct Machine {
    TempFolder folder;
    std::string root = folder.path;

    Machine()
    {
        if (root.empty()) {
            fprintf(stderr, "can't make a folder for a made-up machine\n");
            abort();
        }
    }

    void put(const std::string &file, const std::string &text)
    {
        std::filesystem::path path = root + "/" + file;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void cache(int index, const char *level, const char *type, const char *size)
    {
        std::string dir = "sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
        put(dir + "level", std::string(level) + "\n");
        put(dir + "type", std::string(type) + "\n");
        put(dir + "size", std::string(size) + "\n");
    }
    // check gathers the facts without waiting and judges them, keeps both
    // (in facts and all), and returns the checks by key.
    Facts facts;
    std::vector<Check> all;
    std::map<std::string, Check> check()
    {
        facts = gather(root, 0.0);
        all = judge(facts);
        std::map<std::string, Check> by_key;
        for (const Check &c : all)
            by_key[c.key] = c;
        return by_key;
    }
};

// cpuinfo returns the blocks of n x86 CPUs as kernels print them, with a
// flags line of some 1,500 characters.
std::string cpuinfo(int cpus, const std::string &mhz_line, const std::string &flags)
{
    std::string padding;
    for (int i = 0; padding.size() < 1400; i++)
        padding += " feature" + std::to_string(i);
    std::string text;
    for (int i = 0; i < cpus; i++)
        text += "processor\t: " + std::to_string(i) + "\nmodel name\t: Made-up CPU @ 2.40GHz\n" + mhz_line +
                "cache size\t: 36864 KB\nflags\t\t: fpu tsc " + flags + padding + "\nbogomips\t: 4800.00\n\n";
    return text;
}

// The shape of this project's machine: a KVM guest with no cpufreq.
TEST(Machines, AVirtualMachineGetsInfoAndNoWarning)
{
    Machine m;
    m.put("proc/cpuinfo", cpuinfo(2, "cpu MHz\t\t: 2400.000\n", "constant_tsc nonstop_tsc hypervisor"));
    m.put("proc/meminfo", "MemTotal:       24683756 kB\nMemAvailable:   24150884 kB\n");
    m.put("sys/kernel/mm/transparent_hugepage/enabled", "always [madvise] never\n");
    std::filesystem::create_directories(m.root + "/sys/devices/system/cpu/cpufreq");
    m.cache(0, "1", "Data", "32K");
    m.cache(1, "1", "Instruction", "32K");
    m.cache(2, "2", "Unified", "1024K");
    m.cache(3, "3", "Unified", "32768K");
    auto c = m.check();

    EXPECT_EQ(exit_status(m.all), 0) << format_text(m.all);
    EXPECT_EQ(c["counter"].status, Status::ok);
    EXPECT_EQ(figures_of<Memory>(c["memory"]).available_mib, 24150884 / 1024.0);
    EXPECT_EQ(figures_of<MachineKind>(c["machine"]).hypervisor, true);
    EXPECT_EQ(figures_of<HugePages>(c["huge_pages"]).transparent_mode, "madvise");
    // What a record says of the machine, from the texts as gathered.
    EXPECT_EQ(model_name(m.facts.cpuinfo), "Made-up CPU @ 2.40GHz");
    EXPECT_EQ(mem_total_mib(m.facts.meminfo), 24683756 / 1024.0);
    std::vector<CacheLevel> caches = figures_of<Caches>(c["caches"]).cpu0;  // the instruction cache left out
    ASSERT_EQ(caches.size(), 3u);
    EXPECT_EQ(caches[0].step_between_labels, (std::array<int, 2>{2, 3}));
    EXPECT_EQ(caches[2].step_between_labels, (std::array<int, 2>{12, 13}));
    // Aligned: a status word, then each check's name, then its figures, all
    // starting in one column, two blanks at least after the longest name.
    std::vector<std::string> lines = lines_of(format_text(m.all));
    ASSERT_EQ(lines.size(), m.all.size());
    std::set<size_t> columns;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &text = lines[i], &name = m.all[i].name;
        EXPECT_TRUE(text.rfind("ok    " + name + "  ", 0) == 0 || text.rfind("info  " + name + "  ", 0) == 0)
            << text;
        columns.insert(text.find_first_not_of(' ', 6 + name.size()));
        EXPECT_EQ(text.find(m.all[i].figures), *columns.rbegin()) << text;
    }
    EXPECT_EQ(columns.size(), 1u);
}

// A laptop whose cores change speed, collected as files.
TEST(Machines, ABareMetalLaptopWarnsOfTheFrequencyScaling)
{
    Machine m;
    m.put("proc/cpuinfo", cpuinfo(8, "cpu MHz\t\t: 800.000\n", "constant_tsc nonstop_tsc"));
    for (int i = 0; i < 8; i++)
        m.put("sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq/scaling_governor", "powersave\n");
    m.put("sys/devices/system/cpu/intel_pstate/no_turbo", "0\n");
    m.cache(0, "1", "Data", "49152");  // in bytes, without a unit
    m.cache(3, "3", "Unified", "36M");
    auto c = m.check();

    EXPECT_EQ(exit_status(m.all), 1);
    EXPECT_EQ(c["clock_rate"].status, Status::info);  // another machine's line is not judged
    EXPECT_EQ(c["machine"].status, Status::ok);
    EXPECT_EQ(c["frequency_scaling"].status, Status::warn);
    EXPECT_EQ(figures_of<Scaling>(c["frequency_scaling"]).governors, (std::map<std::string, int>{{"powersave", 8}}));
    EXPECT_EQ(figures_of<Scaling>(c["frequency_scaling"]).turbo, "on");
    std::string note = c["frequency_scaling"].note;
    EXPECT_NE(note.find("echo 1 | sudo tee /sys/devices/system/cpu/intel_pstate/no_turbo"),
              std::string::npos);
    EXPECT_EQ(figures_of<Caches>(c["caches"]).cpu0.at(0).size_bytes, 49152u);

    EXPECT_EQ(json::parse(format_json(m.all, m.root))["warnings"], 1);
}

TEST(Machines, WithoutTheirFilesChecksSayWhatTheyCantTell)
{
    // arm64: no cpu MHz line and no flags line, on a small board.
    Machine m;
    m.put("proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm\n");
    m.put("proc/meminfo", "MemAvailable:     65536 kB\n");
    auto c = m.check();
    EXPECT_EQ(c["memory"].status, Status::warn);
    EXPECT_EQ(c["counter"].status, Status::warn);
    EXPECT_EQ(c["clock_rate"].status, Status::info);
    EXPECT_NE(c["clock_rate"].note, "");  // memsweep there would fall back

    EXPECT_EQ(model_name(m.facts.cpuinfo), "");
    EXPECT_LT(mem_total_mib(m.facts.meminfo), 0.0);  // MemAvailable only

    // 64-bit Arm's cores by their ids: a common one by name, others as
    // their ids, as the file gives them.
    const std::string arm = "processor\t: 0\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\nCPU architecture: 8\n";
    EXPECT_EQ(model_name(arm + "CPU part\t: 0xd0c\n"), "Neoverse-N1");
    EXPECT_EQ(model_name(arm + "CPU part\t: 0xfff\n"), "CPU implementer 0x41, part 0xfff");
    EXPECT_EQ(model_name("CPU implementer\t: 0xc0\nCPU part\t: 0xd0c\n"), "CPU implementer 0xc0, part 0xd0c");
    EXPECT_EQ(model_name(arm), "");  // no part

    // An Arm core's files: memsweep there takes its counter's stated rate,
    // which these files can't tell, and no flags are missed.
    Machine board;
    board.put("proc/cpuinfo", arm + "Features\t: fp asimd\nCPU part\t: 0xd0c\n");
    c = board.check();
    EXPECT_EQ(c["counter"].status, Status::ok);
    EXPECT_NE(c["clock_rate"].figures.find("memsweep there uses the counter's stated rate"), std::string::npos)
        << c["clock_rate"].figures;
    EXPECT_EQ(c["clock_rate"].note, "");
    EXPECT_TRUE(std::isnan(figures_of<ClockRate>(c["clock_rate"]).cpu_mhz));

    Machine empty;
    c = empty.check();
    for (const char *key : {"machine", "frequency_scaling", "other_load", "memory", "huge_pages", "caches"})
        EXPECT_EQ(c[key].status, Status::info) << key;
}

// memsweep_rate follows memsweep's rule: the first line that mentions
// "cpu MHz" counts, parsed from its start, in fgets pieces of 511 characters.
TEST(Checks, TheClockRateIsReadAsMemsweepReadsIt)
{
    std::string corpus = std::string(MEMSWEEP_SOURCE_DIR) + "/fuzz/corpus/";
    Machine m;
    m.put("mention", "model name\t: cpu MHz edition\ncpu MHz\t\t: 2400.000\n");
    m.put("piece", std::string(511, 'x') + "cpu MHz\t: 1234.5\n");
    m.put("split", std::string(510, 'x') + "cpu MHz\t: 1234.5\n");
    m.put("infinite", "cpu MHz\t\t: inf\n");
    const std::map<std::string, double> lines = {{corpus + "x86-bare-metal", 3412.771},
                                                 {corpus + "x86-hypervisor", 2596.126},
                                                 {m.root + "/piece", 1234.5}};
    for (const auto &[path, mhz] : lines) {
        EXPECT_EQ(memsweep_rate(path).source, Source::line) << path;
        EXPECT_DOUBLE_EQ(memsweep_rate(path).mhz, mhz) << path;
    }
    for (const char *file : {"x86-unknown", "arm64"})
        EXPECT_EQ(memsweep_rate(corpus + file).mhz, 1000.0) << file;
    for (const char *file : {"/mention", "/split", "/infinite"})
        EXPECT_EQ(memsweep_rate(m.root + file).mhz, 1000.0) << file;
    EXPECT_EQ(memsweep_rate(m.root + "/missing").mhz, 2147.483656);
}

TEST(Checks, TheClockRateIsJudgedAgainstThisMachinesCounterOnly)
{
    Check c = clock_check({{Source::line, 800.0}}, 2400.0, true);  // a laptop's idle core
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_DOUBLE_EQ(figures_of<ClockRate>(c).factor.value_or(0.0), 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(figures_of<ClockRate>(c).inverse.value_or(0.0), 3.0);
    c = clock_check({{Source::no_usable_line, 1000.0}}, 2400.0, true);
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_DOUBLE_EQ(figures_of<ClockRate>(c).factor.value_or(0.0), 1000.0 / 2400.0);
    c = clock_check({{Source::line, 2400.0}, {Source::line, 3100.0}, {Source::line, 2400.0}}, 2400.0, true);
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_TRUE(figures_of<ClockRate>(c).cpu_mhz_moves);
    EXPECT_EQ(clock_check({{Source::line, 2410.0}}, 2400.0, true).status, Status::ok);  // within 1 %
    c = clock_check({{Source::line, 2400.0}}, 0.0, true);  // the system clock failed
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_FALSE(figures_of<ClockRate>(c).factor);

    c = clock_check({{Source::line, 800.0}}, 2400.0, false);  // another machine's files
    EXPECT_EQ(c.status, Status::info);
    EXPECT_FALSE(figures_of<ClockRate>(c).factor);
}

// 64-bit Arm: no "cpu MHz" line, and memsweep takes the rate its counter
// states, which holds where the counter ticks at it and warns where a guest
// states nonsense; the counter passes by what it is, not by x86's flags.
TEST(Checks, ACounterThatStatesItsRateIsHeldAgainstTheMeasuredOne)
{
    Check c = clock_check({{Source::stated, 25.0}}, 25.0, true);
    EXPECT_EQ(c.status, Status::ok) << c.figures;
    EXPECT_NE(c.figures.find("stated rate"), std::string::npos) << c.figures;
    EXPECT_EQ(c.note, "");
    c = clock_check({{Source::stated, 1000.0}}, 25.0, true);
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_NE(c.note.find("40.000 times"), std::string::npos) << c.note;
    const std::string arm = "processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd sve\nCPU implementer\t: 0x41\n";
    // An Arm core's files from elsewhere: no flags, and none needed.
    c = counter_check(arm);
    EXPECT_EQ(c.status, Status::ok);
    EXPECT_NE(c.figures.find("architecture's rule"), std::string::npos) << c.figures;
    EXPECT_NE(machine_check(arm).figures.find("an Arm core's"), std::string::npos);
    c = counter_check(arm, 25.0, 25.0);
    EXPECT_EQ(c.status, Status::ok) << c.figures;
    EXPECT_EQ(std::get<checks::CounterFlags>(c.data).stated_mhz, 25.0);
    c = counter_check(arm, 1000.0, 25.0);
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_NE(c.figures.find("25.000"), std::string::npos) << c.figures;
    TempFolder f;
    f.put("/cpuinfo", arm);
    EXPECT_EQ(memsweep_rate(f.path + "/cpuinfo", 25.0).source, Source::stated);
    EXPECT_EQ(memsweep_rate(f.path + "/cpuinfo", 25.0).mhz, 25.0);
    EXPECT_EQ(memsweep_rate(f.path + "/cpuinfo").source, Source::no_usable_line);
    f.put("/x86", "cpu MHz\t\t: 2400.000\n");
    EXPECT_EQ(memsweep_rate(f.path + "/x86", 25.0).source, Source::line);  // a line wins
}

// A cache that holds memsweep's largest working set (128 MiB) leaves the
// table without a memory row; an instruction cache holds no working set.
TEST(Checks, ACacheAsLargeAsTheLargestWorkingSetWarns)
{
    auto caches = [](const char *l3_size) {
        return std::vector<CacheFolder>{{"index0", "1", "Data", "32K", "64"},
                                        {"index1", "1", "Instruction", "256M", "64"},
                                        {"index3", "3", "Unified", l3_size, "64"}};
    };
    for (const char *size : {"131072K", "256M", "1G"}) {
        Check c = cache_check(caches(size));
        EXPECT_EQ(c.status, Status::warn) << size;
        EXPECT_NE(c.note, "") << size;
    }
    for (const char *size : {"134217727", "32M"})  // a byte short, and a usual L3
        EXPECT_EQ(cache_check(caches(size)).status, Status::info) << size;
}

// snapshot returns /proc/stat for a number of CPUs whose ticks, busy and
// idle, add up to the ones given.
std::string snapshot(int cpus, long busy, long idle)
{
    std::string text = "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\n";
    for (int i = 0; i < cpus; i++)
        text += "cpu" + std::to_string(i) + " 0 0 0 0 0 0 0 0 0 0\n";
    return text + "intr 0\n";
}

// Page sizes are the system's: 64-bit Arm kernels run 4, 16 or 64 KiB pages,
// whose transparent huge pages are 2, 32 or 512 MiB (from hpage_pmd_size,
// else what a middle-level table maps), and hugetlb pools of many sizes.
TEST(Checks, PageSizesAreTheSystemsAndAHugePageLargerThanTheArrayIsSaid)
{
    Machine m;
    m.put("sys/kernel/mm/transparent_hugepage/enabled", "always [madvise] never\n");
    m.put("sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "33554432\n");
    for (const char *pool : {"hugepages-1048576kB", "hugepages-2048kB", "hugepages-32768kB", "hugepages-xkB"})
        m.put(std::string("sys/kernel/mm/hugepages/") + pool + "/nr_hugepages", "0\n");
    m.check();
    EXPECT_EQ(m.facts.pages.page_bytes, 0u);  // not this machine's files: no page size of theirs
    EXPECT_EQ(m.facts.pages.transparent_size, "33554432");
    m.facts.pages.page_bytes = 16384;
    Check c = huge_pages_check(m.facts.transparent_mode, m.facts.pages);
    EXPECT_EQ(c.figures, "transparent huge pages: madvise, 32 MiB; small pages 16 KiB; hugetlb pools 2 MiB, 32 MiB, 1 GiB");
    EXPECT_NE(c.note.find("may sit on 32 MiB pages"), std::string::npos) << c.note;
    EXPECT_EQ(std::get<HugePages>(c.data).hugetlb_bytes,
              (std::vector<uint64_t>{uint64_t(2) << 20, uint64_t(32) << 20, uint64_t(1) << 30}));

    // 64 KiB pages without the size file: 512 MiB, more than the array.
    Check big = huge_pages_check(std::string("[always] madvise never"), {65536, std::nullopt, {"hugepages-524288kB"}});
    EXPECT_EQ(std::get<HugePages>(big.data).transparent_bytes, uint64_t(512) << 20);
    EXPECT_EQ(big.status, Status::info);
    EXPECT_NE(big.note.find("512 MiB are larger than memsweep's 128 MiB array"), std::string::npos) << big.note;
    EXPECT_EQ(transparent_huge_bytes(std::nullopt, 4096), uint64_t(2) << 20);
    EXPECT_EQ(transparent_huge_bytes(std::string("junk"), 0), 0u);
    EXPECT_EQ(hugetlb_bytes("hugepages-64kB"), 65536u);
    for (const char *odd : {"hugepages-kB", "hugepages-0kB", "hugepages-2048", "hugepages--1kB", "other-2048kB"})
        EXPECT_EQ(hugetlb_bytes(odd), 0u) << odd;
}

// Without cache files (micro-VMs, some boards) the line is the one the
// processor states; with them, sysfs's.
TEST(Checks, TheLineComesFromSysfsElseFromTheProcessor)
{
    Check bare = cache_check({}, {64, "CTR_EL0"});
    EXPECT_NE(bare.figures.find("the processor states 64-byte lines (CTR_EL0)"), std::string::npos) << bare.figures;
    EXPECT_EQ(std::get<Caches>(bare.data).line_bytes, 64u);
    Check listed = cache_check({{"index0", "1", "Data", "64K", "128"}}, {64, "CTR_EL0"});
    EXPECT_EQ(std::get<Caches>(listed.data).line_bytes, 128u);
    EXPECT_EQ(std::get<Caches>(listed.data).line_source, "sysfs");
    EXPECT_FALSE(std::get<Caches>(cache_check({}, {}).data).line_bytes.has_value());
}

TEST(Checks, OtherLoadIsCountedInCpusWhateverTheirNumber)
{
    // 100 ticks a CPU: six busy CPUs of 64 warn, a twentieth of one of 2 not.
    Check c = load_check(snapshot(64, 0, 0), snapshot(64, 600, 5800), 0.0, 1.0);
    EXPECT_EQ(c.status, Status::warn);
    EXPECT_EQ(figures_of<OtherLoad>(c).other_work_cpus, 6.0);
    c = load_check(snapshot(2, 0, 0), snapshot(2, 5, 195), 0.0, 1.0);
    EXPECT_EQ(c.status, Status::ok);
    EXPECT_EQ(figures_of<OtherLoad>(c).other_work_cpus, 0.05);
    EXPECT_EQ(load_check(snapshot(2, 0, 0), snapshot(2, 15, 185), 0.0, 1.0).status, Status::warn);
    // All of it the check's own.
    EXPECT_EQ(figures_of<OtherLoad>(load_check(snapshot(2, 0, 0), snapshot(2, 100, 100), 100.0, 1.0)).other_work_cpus,
              0.0);
    // Four fields, as old kernels print them; a field that is not a number
    // of ticks ends the fields and counts for nothing.
    for (const char *after :
         {"cpu 5 0 0 95\ncpu0\n", "cpu 5 0 0 95 -50\ncpu0\n", "cpu 5 0 0 95 3x 7\ncpu0\n"})
        EXPECT_EQ(figures_of<OtherLoad>(load_check("cpu 0 0 0 0\ncpu0\n", after, 0.0, 1.0)).other_work_cpus, 0.05)
            << after;
    // No time passed, garbled fields, no per-CPU lines: unknown.
    for (const std::string &after :
         {snapshot(2, 0, 0), std::string("cpu -1 2 3 4\ncpu0\n"), std::string("cpu 5 0 0 95\n")})
        EXPECT_EQ(load_check(snapshot(2, 0, 0), after, 0.0, 1.0).status, Status::info) << after;
}

// Each CPU's busy share comes from its own line, so that a caller can pick
// the least busy CPU to measure on.
TEST(Checks, EachCpusBusyShareComesFromItsOwnLine)
{
    // cpu0 half busy; cpu2 busy a tenth, its iowait idle; cpu3 standing
    // still; cpu4 not there before; cpu5 with iowait running backwards.
    std::string before =
        "cpu  0 0 0 0\ncpu0 100 0 0 100 0\ncpu2 0 0 0 200 0\ncpu3 0 0 0 0\ncpu5 0 0 0 0 100\n";
    std::string after =
        "cpu  9 9 9 9\ncpu0 150 0 0 150 0\ncpu2 10 0 0 270 20\ncpu3 0 0 0 0\ncpu4 5 0 0 5\n"
        "cpu5 20 0 0 0 90\n";
    EXPECT_EQ(cpu_busy_shares(before, after), (std::map<long, double>{{0, 0.5}, {2, 0.1}, {5, 1.0}}));
    EXPECT_TRUE(cpu_busy_shares(before, "").empty());
}

TEST(Checks, GarbledHugeAndOddFilesGiveOneCleanLineEach)
{
    Machine m;
    m.root += "/odd 'name'\n\x1b[31m";
    m.put("proc/cpuinfo", cpuinfo(1024, "cpu MHz\t\t: Unknown\n", "constant_tsc"));
    m.put("proc/stat", std::string(100000, '\xff'));
    m.put("proc/meminfo", "MemAvailable:   lots kB\n");
    m.put("sys/kernel/mm/transparent_hugepage/enabled", "always madvise never\n");
    m.put("sys/devices/system/cpu/cpu0/cpufreq/scaling_governor",
          "perf\x1b[2J\xc2\x9b"
          "31m\xc3\x28\n");
    m.put("sys/devices/system/cpu/cpufreq/boost", "\n");
    m.cache(0, "1", "Data", "0K");
    m.cache(1, "2", "Unified", "99999999999999G");
    m.cache(2, "x", "Unified", "1M");
    m.cache(3, "3", "Unified", "lots");
    auto c = m.check();

    EXPECT_EQ(c["counter"].status, Status::warn);  // no nonstop_tsc
    EXPECT_EQ(c["frequency_scaling"].status, Status::warn);
    EXPECT_NE(c["frequency_scaling"].figures.find("perf?[2J"), std::string::npos);
    EXPECT_TRUE(figures_of<Caches>(c["caches"]).cpu0.empty());
    EXPECT_EQ(c["memory"].status, Status::info);
    std::string text = format_text(m.all);
    EXPECT_EQ(lines_of(text).size(), 8u) << text;
    EXPECT_EQ(text.find_first_of(std::string("\x1b\r\t\0", 4)), std::string::npos);
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);  // CSI as UTF-8 spells it
    json j = json::parse(format_json(m.all, m.root));
    EXPECT_EQ(j["root"], m.root);

    // A record's account of the machine: the first name, scrubbed, and
    // no memory from a line that gives none.
    EXPECT_EQ(model_name("model name\t: Evil\x1b[2J CPU \r\nmodel name\t: Other\n"), "Evil?[2J CPU");
    EXPECT_EQ(mem_total_mib("MemTotal:   lots kB\nMemTotal:   2048 MB\n"), -1.0);
}

// Files collected elsewhere may be anything: a FIFO would hold a reader
// until a writer came, a link to /dev/zero never ends, a folder has no
// text.  Each is read as a file that is not there, and the checks say what
// they can't tell as they do for a missing one; a file beyond the size
// limit is read up to it.
TEST(Machines, FilesThatAreNoRegularOnesAreReadAsMissing)
{
    Machine odd, missing;
    for (const char *file : {"proc/cpuinfo", "proc/stat", "proc/meminfo"})
        odd.put(file, "");
    ASSERT_EQ(unlink((odd.root + "/proc/cpuinfo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (odd.root + "/proc/cpuinfo").c_str()), 0);
    ASSERT_EQ(unlink((odd.root + "/proc/stat").c_str()), 0);
    ASSERT_EQ(mkfifo((odd.root + "/proc/stat").c_str(), 0600), 0);
    ASSERT_EQ(unlink((odd.root + "/proc/meminfo").c_str()), 0);
    ASSERT_EQ(mkdir((odd.root + "/proc/meminfo").c_str(), 0700), 0);
    odd.put("sys/devices/system/cpu/cpu0/cpufreq/x", "");
    ASSERT_EQ(mkfifo((odd.root + "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor").c_str(), 0600), 0);
    std::filesystem::create_directories(odd.root + "/sys/devices/system/cpu/cpufreq");
    ASSERT_EQ(symlink("/dev/zero", (odd.root + "/sys/devices/system/cpu/cpufreq/boost").c_str()), 0);
    missing.put("sys/devices/system/cpu/cpu0/cpufreq/x", "");

    std::map<std::string, Check> got = odd.check(), want = missing.check();
    EXPECT_EQ(odd.facts.rate_reads[0].source, Source::no_file);
    EXPECT_EQ(odd.facts.stat_before, "");
    EXPECT_FALSE(odd.facts.cpus.at(0).governor.has_value());
    EXPECT_FALSE(odd.facts.boost.has_value());
    for (const auto &[key, c] : want) {
        EXPECT_EQ(got[key].status, c.status) << key;
        EXPECT_EQ(got[key].figures, c.figures) << key;
    }

    // The limit: a larger file's first memsweep::file_limit bytes.
    Machine big;
    std::string head = cpuinfo(1, "cpu MHz\t\t: 2400.000\n", "constant_tsc nonstop_tsc");
    big.put("proc/cpuinfo", head + std::string(memsweep::file_limit, 'x'));
    big.check();
    EXPECT_EQ(big.facts.cpuinfo.size(), memsweep::file_limit);
    EXPECT_EQ(big.facts.cpuinfo.compare(0, head.size(), head), 0);
    EXPECT_EQ(big.facts.rate_reads[0].mhz, 2400.0);
}

// The JSON report is an interface: its members, their order and their
// values' types stay as they are, for every check and each of its cases.
TEST(Report, KeepsTheJsonLayoutOfEveryCheck)
{
    Facts f;
    f.stat_before = "cpu  100 0 50 1000 10 0 0 0 0 0\ncpu0 50 0 25 500 5 0 0 0 0 0\ncpu1 50 0 25 500 5 0 0 0 0 0\n";
    f.stat_after = "cpu  130 0 60 1160 10 0 0 0 0 0\ncpu0 80 0 30 560 5 0 0 0 0 0\ncpu1 50 0 30 600 5 0 0 0 0 0\n";
    f.own_ticks = 5.0;
    f.elapsed_s = 1.0025;
    f.rate_reads = {{Source::line, 2400.0}, {Source::line, 2410.5}, {Source::line, 2600.25}};
    f.counter_mhz = 2399.987;
    f.cpuinfo = "processor\t: 0\nmodel name\t: Made-up \x1b[31m CPU\n"
                "flags\t\t: fpu tsc constant_tsc hypervisor tsc_known_freq\n";
    f.meminfo = "MemTotal: 2048000 kB\nMemAvailable:   100000 kB\n";
    f.transparent_mode = "always [madvise] never";
    f.pages = {4096, std::string("2097152"), {"hugepages-1048576kB", "hugepages-2048kB"}};
    f.cpus = {{"cpu0", std::string("powersave")},
              {"cpu1", std::string("performance")},
              {"cpu2", std::nullopt},
              {"cpu3", std::string("per\xc2\x9b\xff")}};
    f.boost = "1";
    f.memory.nodes_online = "0-3";
    f.caches = {{"index0", "1", "Data", "48K", "64"},
                {"index1", "1", "Instruction", "32K", "64"},
                {"index2", "2", "Unified", "1280K", "64"},
                {"index3", "3", "Unified", "260M", "64"},
                {"index4", "4", "Unified", "5", ""}};
    EXPECT_EQ(format_json(judge(f), ""), slurp(std::string(MEMSWEEP_SOURCE_DIR) + "/tests/data/check_report.json"));

    // Where nothing could be told: every figure that has no value is null.
    Facts none;
    none.root = "/made/up";
    none.rate_reads = {{Source::no_file, 2147.483656}};
    json j = json::parse(format_json(judge(none), none.root))["checks"];
    for (const auto &[check, key] : std::vector<std::pair<const char *, const char *>>{
             {"clock_rate", "factor"},     {"counter", "constant_tsc"},        {"machine", "hypervisor"},
             {"frequency_scaling", "turbo"}, {"other_load", "other_work_cpus"}, {"memory", "available_mib"},
             {"huge_pages", "transparent_mode"}})
        EXPECT_TRUE(j[check].contains(key) && j[check][key].is_null()) << check << "." << key;
    EXPECT_EQ(j["caches"]["cpu0"], json::array());
}

/* ---------------------------------------------------------------- the command */

const std::string exe = MEMSWEEP_CHECK_EXE;

TEST(Command, ExitsZeroOneOrTwoAndSaysWhy)
{
    Outcome o = run_shell(quote(exe) + " -h");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.rfind("usage: memsweep-check", 0), 0u) << o.out;

    for (const char *args : {"--bogus", "extra", "--root", "--root /nonexistent/folder"}) {
        o = run_shell(quote(exe) + " " + args);
        EXPECT_EQ(o.status, 2) << args;
        EXPECT_EQ(o.err.rfind("memsweep-check: ", 0), 0u) << args << ": " << o.err;
        EXPECT_NE(o.err.find("\nusage: memsweep-check"), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
    }

    // Files from elsewhere on which nothing warns; then the same report
    // with nowhere to go.
    Machine m;
    m.put("proc/cpuinfo", cpuinfo(1, "cpu MHz\t\t: 1.000\n", "constant_tsc nonstop_tsc"));
    o = run_shell(quote(exe) + " --root " + quote(m.root + "/"));
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(lines_of(o.out).size(), 8u) << o.out;
    EXPECT_EQ(o.out.rfind("info  clock rate", 0), 0u) << o.out;
    o = run_shell(quote(exe) + " --root " + quote(m.root) + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind("memsweep-check: can't write standard output: ", 0), 0u) << o.err;
}

// --json alone and --json=- print the JSON in the lines' place; --json=FILE
// writes it to FILE beside the lines.  A FILE that can't take it is a usage
// error before anything is read, and a file as the next word is refused.
TEST(Command, JsonGoesToStandardOutputOrToAFile)
{
    Machine m;
    m.put("proc/cpuinfo", cpuinfo(1, "cpu MHz\t\t: 1.000\n", "constant_tsc nonstop_tsc"));
    const std::string run = quote(exe) + " --root " + quote(m.root) + " ";
    for (const char *json_out : {"--json", "--json=-"}) {
        Outcome o = run_shell(run + json_out);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(json::parse(o.out, nullptr, false)["root"], m.root) << json_out << ": " << o.out;
    }
    std::string file = m.root + "/report.json";
    Outcome o = run_shell(run + "--json=" + quote(file));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.rfind("info  clock rate", 0), 0u) << o.out;
    EXPECT_EQ(json::parse(slurp(file), nullptr, false)["checks"].size(), 8u) << slurp(file);

    o = run_shell(run + "--json=" + quote(m.root + "/proc"));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.rfind("memsweep-check: --json: can't write " + m.root + "/proc: ", 0), 0u) << o.err;
    EXPECT_EQ(o.out, "");
    o = run_shell(run + "--json " + quote(file));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n')), "memsweep-check: unexpected argument: " + file +
                                                      " (--json takes its value as --json=VALUE)");
}

// An argument's control characters, C1 ones too (CSI as UTF-8 and as the
// raw byte), reach the terminal as '?'.
TEST(Command, UsageErrorsShowNoControlCharacters)
{
    Outcome o = run_shell(quote(exe) + " " + quote("--\x1b[2J\xc2\x9b" "1m\x9b" "2J"));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n')), "memsweep-check: unknown option: --?[2J?1m?2J");
}

// This machine's own files, as a user runs it: whatever they say, eight
// checks, an exit status that agrees with the warnings, and a counter rate.
TEST(Command, ChecksThisMachineWithoutRootOrPrivileges)
{
    Outcome o = run_shell(quote(exe) + " --json");
    ASSERT_TRUE(o.status == 0 || o.status == 1) << o.status << ": " << o.err;
    json report = json::parse(o.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << o.out;
    EXPECT_EQ(report["root"], "/");
    ASSERT_TRUE(report["checks"].is_object()) << o.out;
    EXPECT_EQ(report["checks"].size(), 8u) << o.out;
    EXPECT_EQ(o.status, report["warnings"].get<int>() > 0 ? 1 : 0) << o.out;
    json counter = report["checks"]["clock_rate"]["counter_mhz"];
    ASSERT_TRUE(counter.is_number()) << o.out;
    EXPECT_GT(counter.get<double>(), 0.0);
}

// The real /proc/cpuinfo covered by one that says 1000 MHz.
TEST(Command, WarnsOfTheFactorWhenCpuinfoSaysOneGigahertz)
{
    if (geteuid() != 0 || run_shell("unshare -m true").status != 0)
        GTEST_SKIP() << "needs root and unshare -m to put a file over /proc/cpuinfo";
    Machine m;
    m.put("cpuinfo", cpuinfo(2, "cpu MHz\t\t: 1000.000\n", "constant_tsc nonstop_tsc"));
    std::string run = "unshare -m sh -c 'mount --bind \"$0\" /proc/cpuinfo && exec \"$@\"' " +
                      quote(m.root + "/cpuinfo") + " " + quote(exe) + " ";
    Outcome o = run_shell(run + "--json");
    EXPECT_EQ(o.status, 1) << o.err;
    json rate = json::parse(o.out)["checks"]["clock_rate"];
    double counter = rate["counter_mhz"];
    ASSERT_GT(counter, 0.0);
    EXPECT_EQ(rate["cpu_mhz"], 1000.0);
    EXPECT_EQ(rate["factor"], 1000.0 / counter);

    // --root / is this machine's files, judged as without it.
    o = run_shell(run + "--root /");
    EXPECT_EQ(o.out.rfind("warn  clock rate", 0), 0u) << o.out;
}

}  // namespace
