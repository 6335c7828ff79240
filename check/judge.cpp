// SPDX-License-Identifier: MIT
/*
 * judge.cpp -- the checks' judging part: what the gathered texts and
 * numbers mean for memsweep's table.  Each check is a pure function of what
 * it is given and opens no file: it returns a Check with a status, figures
 * in words, where there is more to say a note on what they mean for the
 * table and what to do, and the same figures as JSON values.
 */
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "check/checks.h"
#include "check/proc.h"
#include "common/grid.h"
#include "common/text.h"

namespace checks {

using memsweep::fixed;
using memsweep::shown;
using memsweep::size_text;

/* A clock rate more than 1 % from the counter's, or a line that moves by
 * more than 1 %, puts the table's figures off by as much. */
const double rate_tolerance = 0.01;

/* Other work of more than a tenth of one CPU competes with memsweep, on
 * two CPUs as on 64: on memsweep's core it takes memsweep's time, and on
 * any other it shares the cache and memory bandwidth that memsweep
 * measures.  So it is counted in CPUs, not as a share of the machine. */
const double other_cpus_limit = 0.1;

/* memsweep's largest working set, label 14, in bytes: a cache at least as
 * large holds every row of the table. */
static const uint64_t largest_set_bytes = memsweep::label_bytes(memsweep::largest_label);

/* What memsweep needs: its 128 MiB array and a sample store of at most
 * 500 + 3 doubles, in MiB. */
static const double needed_mib = 128.0 + (500.0 + 3.0) * 8.0 / (1024.0 * 1024.0);

/* ====================== Text ====================== */

/* named starts a check: its key in the JSON report and its name in the
 * text report; it is info until judged. */
static Check named(const char *key, const char *name)
{
    Check c;
    c.key = key;
    c.name = name;
    return c;
}

/* ====================== Clock rate ====================== */

/* A rate that the line shows at one read and not at another is a core's
 * current frequency: the factor then depends on when memsweep reads it.
 * Another machine's line says nothing against this machine's counter, so
 * files from elsewhere get the line only. */
Check clock_check(const std::vector<Rate> &reads, double counter, bool here, bool arm_files)
{
    Check c = named("clock_rate", "clock rate");
    ClockRate &d = c.data.emplace<ClockRate>();
    const Rate &first = reads.front();
    double low = first.mhz;
    double high = first.mhz;
    for (const Rate &r : reads) {
        low = std::min(low, r.mhz);
        high = std::max(high, r.mhz);
        d.cpu_mhz_reads.push_back(r.mhz);
    }
    bool line = first.source == Source::line;
    bool stated = first.source == Source::stated;
    bool moves = line && high > low * (1.0 + rate_tolerance);
    d.cpu_mhz = first.mhz;
    d.cpu_mhz_moves = moves;
    if (line) {
        d.cpu_mhz_source = "cpu MHz line";
        std::string over = " over " + std::to_string(reads.size()) + " reads";
        c.figures = "cpu MHz " + fixed(first.mhz, 3);
        if (moves)
            c.figures += ", moving from " + fixed(low, 3) + " to " + fixed(high, 3) + over +
                         ": a core's current frequency";
        else
            c.figures += ", steady" + over;
    } else if (stated) {
        d.cpu_mhz_source = "the counter's stated rate";
        c.figures = "no \"cpu MHz\" line in /proc/cpuinfo: memsweep uses the counter's stated rate, " +
                    fixed(first.mhz, 3) + " MHz";
    } else if (first.source == Source::no_file) {
        d.cpu_mhz_source = "fallback: no /proc/cpuinfo";
        c.figures = "no /proc/cpuinfo: memsweep assumes " + fixed(first.mhz, 6) + " MHz";
    } else {
        d.cpu_mhz_source = "fallback: no usable cpu MHz line";
        c.figures =
            "no usable \"cpu MHz\" line in /proc/cpuinfo: memsweep assumes " + fixed(first.mhz, 0) + " MHz";
    }
    const std::string says = "\"Can't open /proc/cpuinfo to get clock information\"";

    if (!here && arm_files && first.source == Source::no_usable_line) {
        d.cpu_mhz_source = "the counter's stated rate";
        d.cpu_mhz = NAN; /* that machine's to state: unknown here */
        d.cpu_mhz_reads.clear();
        c.figures = "no \"cpu MHz\" line in an Arm core's /proc/cpuinfo: memsweep there uses the counter's "
                    "stated rate, which can be read on that machine only; files from elsewhere: no counter to "
                    "compare with";
        return c;
    }
    if (!here) {
        c.figures += "; files from elsewhere: no counter to compare with";
        if (!line && !stated)
            c.note = "memsweep on that machine would say " + says + " and assume this rate";
        return c;
    }
    if (!(counter > 0.0)) {
        c.status = Status::warn;
        c.figures += "; the counter's rate could not be measured (CLOCK_MONOTONIC_RAW failed)";
        c.note = "memsweep's figures can't be checked against the counter's rate on this machine";
        return c;
    }
    double factor = first.mhz / counter;
    d.counter_mhz = counter;
    d.factor = factor;
    d.inverse = 1.0 / factor;
    c.figures += "; counter " + fixed(counter, 3) + " MHz: factor " + fixed(factor, 3);
    bool off =
        std::fabs(low / counter - 1.0) > rate_tolerance || std::fabs(high / counter - 1.0) > rate_tolerance;
    std::string times = "memsweep's figures are " + fixed(factor, 3) +
                        " times the true ones: multiply its table by " + fixed(1.0 / factor, 3);
    c.status = (!line && !stated) || moves || off ? Status::warn : Status::ok;
    if (stated) {
        if (off)
            c.note = "the counter states " + fixed(first.mhz, 3) + " MHz but ticks at " + fixed(counter, 3) +
                     " MHz (some guests state nonsense): " + times;
    } else if (!line)
        c.note = "memsweep says " + says + " and " + times;
    else if (moves)
        c.note = "memsweep's figures are " + fixed(low / counter, 3) + " to " + fixed(high / counter, 3) +
                 " times the true ones, by what the line shows when it starts: fix the frequency"
                 " (performance governor, turbo off) and check again";
    else if (off)
        c.note = times;
    return c;
}

/* ====================== Processor flags and name ====================== */

/* The flags of the first "flags" line of /proc/cpuinfo (the first CPU's). */
struct Flags {
    bool found = false;
    std::vector<std::string> names;
};

/* has tells whether the flags include flag. */
static bool has(const Flags &flags, const char *flag)
{
    return std::find(flags.names.begin(), flags.names.end(), flag) != flags.names.end();
}

/* cpu_flags splits the first "flags" field into flags. */
static Flags cpu_flags(const std::string &cpuinfo)
{
    Flags f;
    std::string list;
    f.found = cpuinfo_field(cpuinfo, "flags", &list);
    std::istringstream words(list);
    std::string word;
    while (words >> word)
        f.names.push_back(word);
    return f;
}

/* The name is shown as every text from a file is: a record that prints it
 * can't be made to print a control sequence. */
/* arm_core names a 64-bit Arm core by its implementer and part, as
 * /proc/cpuinfo gives them there (no "model name" line): Arm's own common
 * cores by name, any other by its two ids. */
static std::string arm_core(const std::string &cpuinfo)
{
    std::string implementer;
    std::string part;
    if (!cpuinfo_field(cpuinfo, "CPU implementer", &implementer) || !cpuinfo_field(cpuinfo, "CPU part", &part))
        return "";
    auto trim = [](const std::string &t) {
        size_t first = t.find_first_not_of(" \t\r");
        size_t last = t.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : t.substr(first, last - first + 1);
    };
    implementer = trim(implementer);
    part = trim(part);
    static const std::map<std::string, const char *> arm_parts = {
        {"0xd03", "Cortex-A53"},  {"0xd04", "Cortex-A35"},   {"0xd05", "Cortex-A55"},
        {"0xd07", "Cortex-A57"},  {"0xd08", "Cortex-A72"},   {"0xd09", "Cortex-A73"},
        {"0xd0a", "Cortex-A75"},  {"0xd0b", "Cortex-A76"},   {"0xd0c", "Neoverse-N1"},
        {"0xd0d", "Cortex-A77"},  {"0xd40", "Neoverse-V1"},  {"0xd41", "Cortex-A78"},
        {"0xd44", "Cortex-X1"},   {"0xd46", "Cortex-A510"},  {"0xd47", "Cortex-A710"},
        {"0xd48", "Cortex-X2"},   {"0xd49", "Neoverse-N2"},  {"0xd4f", "Neoverse-V2"},
        {"0xd80", "Cortex-A520"}, {"0xd81", "Cortex-A720"}, {"0xd84", "Neoverse-V3"},
        {"0xd8e", "Neoverse-N3"},
    };
    auto known = arm_parts.find(part);
    if (implementer == "0x41" && known != arm_parts.end())
        return known->second;
    return shown("CPU implementer " + implementer + ", part " + part);
}

std::string model_name(const std::string &cpuinfo)
{
    std::string name;
    if (!cpuinfo_field(cpuinfo, "model name", &name))
        return arm_core(cpuinfo);
    size_t first = name.find_first_not_of(" \t\r");
    size_t last = name.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : shown(name.substr(first, last - first + 1));
}

/* The counter must tick at a fixed rate that does not stop in idle states,
 * the two things that make its cycles time. */
Check counter_check(const std::string &cpuinfo, double stated_mhz, double counter_mhz)
{
    Check c = named("counter", "counter");
    CounterFlags &d = c.data.emplace<CounterFlags>();
    Flags flags = cpu_flags(cpuinfo);
    if (stated_mhz > 0.0) {
        /* 64-bit Arm's generic timer: no flags tell of it, as the
         * architecture fixes its rate and keeps it in idle states. */
        d.stated_mhz = stated_mhz;
        c.status = Status::ok;
        c.figures = "the generic timer, stating " + fixed(stated_mhz, 3) +
                    " MHz: a fixed rate, also while a core sleeps";
        if (counter_mhz > 0.0 && std::fabs(stated_mhz / counter_mhz - 1.0) > rate_tolerance) {
            c.status = Status::warn;
            c.figures += ", but it ticks at " + fixed(counter_mhz, 3) + " MHz";
            c.note = "the stated rate is wrong (some guests state nonsense): memsweep-record times by the "
                     "measured rate, memsweep by the stated one";
        } else if (counter_mhz > 0.0) {
            c.figures += ", as measured";
        }
        return c;
    }
    std::string implementer;
    if (!flags.found && cpuinfo_field(cpuinfo, "CPU implementer", &implementer)) {
        /* An Arm core's files from elsewhere: x86-64's flags have no
         * counterpart there, and the rate is that machine's to state. */
        c.status = Status::ok;
        c.figures = "an Arm core's files: its generic timer ticks at a fixed rate, also while a core sleeps, by "
                    "the architecture's rule; the rate it states can be read on that machine only";
        return c;
    }
    if (!flags.found) {
        c.status = Status::warn;
        c.figures = "no flags line in /proc/cpuinfo: whether the counter ticks at a fixed rate is unknown";
        c.note =
            "memsweep's figures are only as good as its counter; on a processor that is neither x86-64 nor "
            "64-bit Arm it does not run at all";
        return c;
    }
    bool constant = has(flags, "constant_tsc");
    bool nonstop = has(flags, "nonstop_tsc");
    d.flags_found = true;
    d.constant_tsc = constant;
    d.nonstop_tsc = nonstop;
    d.tsc_known_freq = has(flags, "tsc_known_freq");
    if (constant && nonstop) {
        c.status = Status::ok;
        c.figures = "constant_tsc, nonstop_tsc: it ticks at one rate, also while a core sleeps";
        return c;
    }
    c.status = Status::warn;
    if (!constant)
        c.figures = "no constant_tsc";
    if (!constant && !nonstop)
        c.figures += ", ";
    if (!nonstop)
        c.figures += "no nonstop_tsc";
    c.note =
        "the counter may change its rate with the core's, or stop while a core sleeps: its cycles need "
        "not be time, and memsweep's figures may be anything";
    return c;
}

/* A virtual machine's figures carry other guests' noise. */
Check machine_check(const std::string &cpuinfo)
{
    Check c = named("machine", "machine");
    MachineKind &d = c.data.emplace<MachineKind>();
    Flags flags = cpu_flags(cpuinfo);
    std::string implementer;
    if (!flags.found && cpuinfo_field(cpuinfo, "CPU implementer", &implementer)) {
        c.figures = "an Arm core's /proc/cpuinfo has no hypervisor flag: virtual machine or not is unknown";
    } else if (!flags.found) {
        c.figures = "no flags line in /proc/cpuinfo: virtual machine or not is unknown";
    } else if (has(flags, "hypervisor")) {
        d.hypervisor = true;
        c.figures = "hypervisor flag: a virtual machine";
        c.note = "other guests' work shows up as noise: take the median of several runs";
    } else {
        c.status = Status::ok;
        d.hypervisor = false;
        c.figures = "no hypervisor flag: bare metal";
    }
    return c;
}

/* ====================== Frequency scaling ====================== */

/* A governor other than performance, or turbo, lets the cores change speed
 * during a run: a warning; no cpufreq at all is info. */
Check scaling_check(const std::vector<CpuFolder> &cpus, const std::optional<std::string> &boost,
                    const std::optional<std::string> &no_turbo)
{
    Check c = named("frequency_scaling", "frequency scaling");
    Scaling &d = c.data.emplace<Scaling>();

    /* Each CPU's governor; a CPU without one is left out. */
    std::map<std::string, int> &governors = d.governors;
    int governed = 0;
    for (const CpuFolder &cpu : cpus) {
        if (cpu.governor) {
            governed++;
            governors[*cpu.governor]++;
        }
    }

    /* The turbo switch: cpufreq/boost (1 = on) or intel_pstate/no_turbo
     * (0 = on); anything else in them is unknown. */
    const struct {
        const std::optional<std::string> &value;
        const char *file, *on, *off;
    } switches[] = {{boost, "cpufreq/boost", "1", "0"}, {no_turbo, "intel_pstate/no_turbo", "0", "1"}};
    std::string turbo_figures;
    std::string turbo_fix;
    const char *turbo = nullptr;
    for (const auto &sw : switches) {
        if (!sw.value)
            continue;
        const std::string &value = *sw.value;
        turbo = value == sw.on ? "on" : value == sw.off ? "off" : "unknown";
        turbo_figures = "; turbo " + std::string(turbo) + " (" + sw.file + " = " + shown(value, 16) + ")";
        turbo_fix = std::string("echo ") + sw.off + " | sudo tee /sys/devices/system/cpu/" + sw.file;
        break;
    }

    d.cpus = (int)cpus.size();
    d.cpus_with_cpufreq = governed;
    if (turbo != nullptr)
        d.turbo = turbo;

    if (governed == 0 && turbo == nullptr) {
        c.figures = "no cpufreq files: no governor or turbo switch to check (usual in a virtual machine)";
        return c;
    }
    bool slow_governor = false;
    std::string list;
    for (const auto &[governor, count] : governors) {
        slow_governor = slow_governor || governor != "performance";
        list += (list.empty() ? "" : ", ") + (governor.empty() ? "(empty)" : shown(governor, 32)) + " on " +
                std::to_string(count);
    }
    c.figures =
        governed == 0 ? "no governor" : "governor " + list + " of " + std::to_string(cpus.size()) + " CPUs";
    c.figures += turbo_figures;
    bool turbo_on = turbo != nullptr && strcmp(turbo, "off") != 0;

    c.status = slow_governor || turbo_on ? Status::warn : Status::ok;
    if (c.status == Status::ok)
        return c;
    c.note =
        "the cores change speed as they work, so the figures vary from run to run and \"cpu MHz\" with them:";
    if (slow_governor)
        c.note += " echo performance | sudo tee /sys/devices/system/cpu/cpu*/cpufreq/scaling_governor";
    if (turbo_on)
        c.note += (slow_governor ? "; " : " ") + turbo_fix;
    return c;
}

/* ====================== Other load ====================== */

/* Other work is the busy ticks less the check's own CPU time, divided by
 * one CPU's ticks over the interval: 1.0 is one CPU kept busy throughout,
 * however many there are. */
Check load_check(const std::string &stat_before, const std::string &stat_after, double own_ticks,
                 double seconds)
{
    Check c = named("other_load", "other load");
    OtherLoad &d = c.data.emplace<OtherLoad>();
    Ticks before = stat_ticks(stat_before);
    Ticks after = stat_ticks(stat_after);
    d.interval_s = seconds;
    d.cpus = after.cpus;
    if (!before.found || !after.found || after.cpus == 0) {
        c.figures = "no usable \"cpu\" lines in /proc/stat: other work is unknown";
        return c;
    }
    double cpu_ticks = (after.all.total - before.all.total) / after.cpus;
    if (!(cpu_ticks > 0.0)) {
        c.figures = "/proc/stat did not advance over " + fixed(seconds, 1) +
                    " s (files of a machine that is not running?): other work is unknown";
        return c;
    }
    double other =
        std::clamp((after.all.busy - before.all.busy - own_ticks) / cpu_ticks, 0.0, (double)after.cpus);
    d.other_work_cpus = other;
    c.figures = "other work kept " + fixed(other, 2) + " of " + std::to_string(after.cpus) +
                " CPUs busy over " + fixed(seconds, 1) + " s";
    c.status = other > other_cpus_limit ? Status::warn : Status::ok;
    if (c.status == Status::warn)
        c.note =
            "it competes with memsweep for a core or for the cache and memory it measures: the fastest "
            "runs slow down and more points take all 500 tries; stop that work and check again";
    return c;
}

std::map<long, double> cpu_busy_shares(const std::string &stat_before, const std::string &stat_after)
{
    std::map<long, LineTicks> before = ticks_by_cpu(stat_before);
    std::map<long, double> shares;
    for (const auto &[cpu, after] : ticks_by_cpu(stat_after)) {
        auto start = before.find(cpu);
        if (start == before.end())
            continue;
        /* Ticks that stand still: a CPU taken off line, or files of a
         * machine that is not running. */
        double total = after.total - start->second.total;
        if (!(total > 0.0))
            continue;
        /* iowait can run backwards on some kernels, which shrinks the total
         * and can put the busy ticks above it. */
        shares[cpu] = std::clamp((after.busy - start->second.busy) / total, 0.0, 1.0);
    }
    return shares;
}

/* ====================== Memory and huge pages ====================== */

double mem_total_mib(const std::string &meminfo)
{
    double kib = meminfo_kib(meminfo, "MemTotal:");
    return kib < 0.0 ? -1.0 : kib / 1024.0;
}

/* rated_peak fills in the memory's devices and rated peak from the first
 * source that lists any, and returns the words for the line, with the
 * devices' warnings. */
static std::string rated_peak(const MemoryFiles &files, Memory *d, std::vector<std::string> *warnings)
{
    std::vector<Dimm> devices;
    std::string source;
    if (files.udev.has_value() && !(devices = udev_dimms(*files.udev)).empty())
        source = "udev";
    else if (files.smbios.has_value() && !(devices = smbios_dimms(*files.smbios)).empty())
        source = "SMBIOS";
    else if (!(devices = edac_dimms(files.edac)).empty())
        source = "EDAC";
    if (source.empty()) {
        d->rated_unknown = std::string("no memory devices in udev's database (systemd's udev names them for any "
                                       "user), ") +
                           (files.smbios_there ? "the SMBIOS table readable by root only"
                                               : "no SMBIOS table") +
                           ", and no EDAC memory controller: usual in a virtual machine";
        return "rated peak unknown: " + d->rated_unknown;
    }
    MemoryLayout m = memory_layout(devices, source);
    d->dimms = m.present;
    d->rated_source = source;
    *warnings = m.warnings;
    if (m.channels > 0)
        d->channels = m.channels;
    if (m.mts > 0)
        d->mts = m.mts;
    std::string devices_text = memsweep::count_text(m.present.size(), "device");
    if (!m.present.empty() && !m.present.front().type.empty())
        devices_text += " of " + shown(m.present.front().type, 16);
    if (!m.unknown.empty()) {
        d->rated_unknown = m.unknown;
        std::string channels = m.channels > 0 ? ", " + memsweep::count_text((uint64_t)m.channels, "channel") : "";
        return "rated peak unknown: " + m.unknown + " (" + devices_text + channels + ", " + source + ")";
    }
    d->rated_gbs = m.rated_gbs;
    return "rated peak " + fixed(m.rated_gbs, 1) + " GB/s: " + memsweep::count_text((uint64_t)m.channels, "channel") +
           " at " + std::to_string(m.mts) + " MT/s, " + devices_text + " (" + source + ")";
}

/* Less available memory than memsweep needs is a warning, as is what its
 * devices say to check. */
Check memory_check(const std::string &meminfo, const MemoryFiles &files)
{
    Check c = named("memory", "memory");
    Memory &d = c.data.emplace<Memory>();
    d.needed_mib = needed_mib;
    std::vector<std::string> warnings;
    std::string peak = rated_peak(files, &d, &warnings);
    double kib = meminfo_kib(meminfo, "MemAvailable:");
    if (kib < 0.0) {
        /* Kernels before 3.14 and some containers have no such line. */
        c.figures = "no MemAvailable line in /proc/meminfo: whether memsweep's " + fixed(needed_mib, 0) +
                    " MiB fit is unknown";
    } else {
        double mib = kib / 1024.0;
        d.available_mib = mib;
        c.figures = fixed(mib, 0) + " MiB available, memsweep needs " + fixed(needed_mib, 0) + " MiB";
        c.status = mib < needed_mib ? Status::warn : Status::ok;
        if (c.status == Status::warn)
            warnings.insert(warnings.begin(),
                            "the system would page memsweep's array out, or stop it, and the largest working sets "
                            "would measure the paging: free some memory first");
    }
    c.figures += "; " + peak;
    /* The NUMA nodes: a part of what makes two machines alike. */
    std::vector<int> nodes = files.nodes_online.has_value() ? memsweep::number_list(*files.nodes_online)
                                                            : std::vector<int>();
    if (!nodes.empty()) {
        d.numa_nodes = (int)nodes.size();
        c.figures += "; " + memsweep::count_text(nodes.size(), "NUMA node");
    }
    if (!warnings.empty())
        c.status = Status::warn;
    for (const std::string &w : warnings)
        c.note += (c.note.empty() ? "" : "; ") + w;
    return c;
}

/* page_text shows a page size, in GiB where it is whole ones. */
static std::string page_text(uint64_t bytes)
{
    return bytes % (uint64_t(1) << 30) == 0 ? std::to_string(bytes >> 30) + " GiB" : size_text(bytes);
}

/* The mode is the bracketed word of the setting, as "always [madvise]
 * never" shows it. */
Check huge_pages_check(const std::optional<std::string> &enabled, const PageFacts &pages)
{
    Check c = named("huge_pages", "huge pages");
    HugePages &d = c.data.emplace<HugePages>();
    if (pages.page_bytes > 0)
        d.page_bytes = pages.page_bytes;
    uint64_t transparent = transparent_huge_bytes(pages.transparent_size, pages.page_bytes);
    if (transparent > 0)
        d.transparent_bytes = transparent;
    for (const std::string &folder : pages.hugetlb)
        if (uint64_t bytes = hugetlb_bytes(folder))
            d.hugetlb_bytes.push_back(bytes);
    std::sort(d.hugetlb_bytes.begin(), d.hugetlb_bytes.end());

    /* The sizes, after the mode: ", 2 MiB; small pages 4 KiB; hugetlb
     * pools 2 MiB, 1 GiB". */
    std::string sizes = transparent > 0 ? ", " + page_text(transparent) : "";
    if (pages.page_bytes > 0)
        sizes += "; small pages " + page_text(pages.page_bytes);
    for (size_t i = 0; i < d.hugetlb_bytes.size(); i++)
        sizes += (i == 0 ? "; hugetlb pools " : ", ") + page_text(d.hugetlb_bytes[i]);

    bool found = enabled.has_value();
    const std::string line = enabled.value_or("");
    size_t open = line.find('[');
    size_t close = line.find(']', open == std::string::npos ? 0 : open);
    if (!found || open == std::string::npos || close == std::string::npos) {
        c.figures = found ? "transparent huge pages: no [selected] mode in \"" + shown(line) + "\""
                          : "no transparent huge pages setting";
        c.figures += sizes;
        return c;
    }
    std::string mode = line.substr(open + 1, close - open - 1);
    d.transparent_mode = mode;
    c.figures = "transparent huge pages: " + shown(mode, 32) + sizes;
    if (transparent > largest_set_bytes) {
        c.note = "huge pages of " + page_text(transparent) + " are larger than memsweep's " +
                 size_text(largest_set_bytes) +
                 " array: none of its working sets can sit on one, whatever the mode (--pages huge included), "
                 "and its largest rows are those of small pages";
        return c;
    }
    c.note = "with \"always\" the large working sets may sit on " +
             (transparent > 0 ? page_text(transparent) + " pages" : std::string("huge pages")) +
             " and miss the TLB less than with \"madvise\" or \"never\": compare tables made under the same mode";
    return c;
}

/* ====================== Caches ====================== */

/* A cache of C bytes holds the working sets up to C, and label L is a
 * working set of 2^(L + 13) bytes: the largest label it holds is
 * floor(log2 C) - 13, and its step shows between that label and the next.
 * A cache that holds label 14 leaves the table without a memory row, which
 * is a warning: its largest rows then can't be compared with those of a
 * machine whose largest row measures memory. */
Check cache_check(const std::vector<CacheFolder> &caches, const LineFacts &stated)
{
    Check c = named("caches", "caches");
    Caches &d = c.data.emplace<Caches>();

    /* The first data or unified cache of each level, in folder order. */
    std::map<long, std::pair<std::string, uint64_t>> levels;
    for (const CacheFolder &cache : caches) {
        long n = number(cache.level);
        uint64_t bytes = cache_bytes(cache.size);
        if (n < 1 || n > 9 || bytes == 0 || (cache.type != "Data" && cache.type != "Unified") ||
            (levels.count(n) != 0u))
            continue;
        levels[n] = {cache.type, bytes};
    }

    bool holds_largest = false;
    for (const auto &[level, cache] : levels) {
        const auto &[type, bytes] = cache;
        int holds = std::ilogb((double)bytes) - 13; /* floor(log2 bytes) - 13, exact below 2^53 */
        CacheLevel entry{level, type, bytes, std::nullopt, std::nullopt};
        std::string text = memsweep::cache_name(level, type) + " " + size_text(bytes) + ": ";
        if (holds < 1) {
            text += "below label 1 (16 KiB): no step shows";
        } else if (holds > 13) {
            text += "holds label 14 (128 MiB): no step shows";
            entry.largest_label_held = 14;
        } else {
            text += "between labels " + std::to_string(holds) + " and " + std::to_string(holds + 1);
            entry.largest_label_held = holds;
            entry.step_between_labels = std::array<int, 2>{holds, holds + 1};
        }
        d.cpu0.push_back(entry);
        holds_largest = holds_largest || bytes >= largest_set_bytes;
        c.figures += c.figures.empty() ? "cpu0's " : "; ";
        c.figures += text;
    }
    /* The line: the first listed level's, else the processor's word. */
    for (const CacheFolder &cache : caches) {
        long bytes = number(cache.line);
        if (bytes > 0 && levels.count(number(cache.level)) != 0) {
            d.line_bytes = (uint64_t)bytes;
            d.line_source = "sysfs";
            break;
        }
    }
    if (!d.line_bytes && stated.bytes > 0) {
        d.line_bytes = stated.bytes;
        d.line_source = stated.source;
    }
    if (levels.empty()) {
        c.figures = "no cache sizes for cpu0 in sysfs (usual in some virtual machines and on arm64 boards)";
        if (d.line_bytes)
            c.figures += "; the processor states " + std::to_string(*d.line_bytes) + "-byte lines (" + d.line_source + ")";
    }
    if (holds_largest) {
        c.status = Status::warn;
        c.note =
            "memsweep's 128 MiB row (label 14) is no memory row here: its working set fits in a cache, so no "
            "row of the table measures memory; treat label 14 as a cache row, and compare the largest rows "
            "only with machines whose caches are as large";
    }
    return c;
}

/* ====================== All checks ====================== */

std::vector<Check> judge(const Facts &facts)
{
    /* The counter is this machine's: files from elsewhere have none here. */
    bool here = facts.root.empty();
    std::string implementer;
    bool arm_files = cpuinfo_field(facts.cpuinfo, "CPU implementer", &implementer);
    return {clock_check(facts.rate_reads, facts.counter_mhz, here, arm_files),
            counter_check(facts.cpuinfo, facts.stated_mhz, facts.counter_mhz),
            machine_check(facts.cpuinfo),
            scaling_check(facts.cpus, facts.boost, facts.no_turbo),
            load_check(facts.stat_before, facts.stat_after, facts.own_ticks, facts.elapsed_s),
            memory_check(facts.meminfo, facts.memory),
            huge_pages_check(facts.transparent_mode, facts.pages),
            cache_check(facts.caches, facts.stated_line)};
}

}  // namespace checks
