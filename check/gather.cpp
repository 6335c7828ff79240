// SPDX-License-Identifier: MIT
/*
 * gather.cpp -- the checks' reading part: every file the checks look at,
 * read below a root folder, and the watch over an interval (/proc/stat
 * before and after, this process's CPU time, the "cpu MHz" line read
 * several times, the counter's rate), gathered into Facts.  Nothing here
 * judges what it reads (judge.cpp does).
 */
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <memsweep/clock.h>

#include "check/checks.h"
#include "check/proc.h"
#include "clock/cpuinfo_rate.h"
#include "clock/tsc.h"
#include "common/files.h"
#include "machine/cpu.h"

namespace checks {

using memsweep::read_file;
using memsweep::read_value;

const double watch_seconds = 1.0;

/* The "cpu MHz" line is read this many times, spread over the interval, to
 * see whether it moves. */
static const int rate_read_count = 5;

/* ====================== Reading files ====================== */

/* optional_value is read_value's line, or none when the file can't be
 * opened. */
static std::optional<std::string> optional_value(const std::string &path)
{
    std::string value;
    if (!read_value(path, &value))
        return std::nullopt;
    return value;
}

/* list_folder returns the names in a folder that keep accepts, in name
 * order; none when it can't be opened. */
template <class Keep>
static std::vector<std::string> list_folder(const std::string &path, Keep keep)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (const struct dirent *entry = readdir(dir)) {
        if (keep(std::string(entry->d_name)))
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

/* ====================== The watch over the interval ====================== */

/* The rule itself is memsweep's own (clock/cpuinfo_rate.h); its sources
 * map one to one onto the checks'.  The file is read as every other one
 * is (common/files.h), and the rule reads its text: a file that is no
 * regular one (a FIFO, a link to /dev/zero) is no file, where memsweep's
 * own reading would wait or never end. */
Rate memsweep_rate(const std::string &path, double stated_mhz)
{
    char buf[512];
    std::string text;
    cpuinfo_rate rate = cpuinfo_no_file_rate();
    if (read_file(path, &text)) {
        /* A lone NUL reads as an empty file does, no piece mentioning the
         * line; a memory file may not be empty. */
        if (text.empty())
            text.push_back('\0');
        FILE *fp = fmemopen(text.data(), text.size(), "r");
        if (fp != nullptr) {
            rate = read_cpuinfo_rate_from(fp, &buf);
            fclose(fp);
        }
    }
    if (rate.source == cpuinfo_no_file)
        return {Source::no_file, rate.mhz};
    if (rate.source == cpuinfo_no_usable_line && stated_mhz > 0.0)
        return {Source::stated, stated_mhz};
    if (rate.source == cpuinfo_no_usable_line)
        return {Source::no_usable_line, rate.mhz};
    return {Source::line, rate.mhz};
}

double own_ticks()
{
    struct rusage usage {
    };
    getrusage(RUSAGE_SELF, &usage);
    double seconds = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
                     (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
    long hz = sysconf(_SC_CLK_TCK);
    return seconds * (double)(hz > 0 ? hz : 100);
}

/* watch fills in the interval's facts: the load and the "cpu MHz" line are
 * watched across it, and the counter is measured at its start. */
static void watch(Facts *f, double seconds)
{
    using clock = std::chrono::steady_clock;
    const std::string cpuinfo_path = f->root + "/proc/cpuinfo";
    const std::string stat_path = f->root + "/proc/stat";
    clock::time_point start = clock::now();
    read_file(stat_path, &f->stat_before);
    double own_before = own_ticks();
    /* The counter is this machine's: files from elsewhere have none here. */
    f->stated_mhz = f->root.empty() ? counter_stated_mhz() : 0.0;
    f->rate_reads = {memsweep_rate(cpuinfo_path, f->stated_mhz)};
    f->counter_mhz = f->root.empty() ? counter_mhz() : 0.0;
    for (int i = 1; i < rate_read_count; i++) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration<double>(seconds * i / (rate_read_count - 1)));
        f->rate_reads.push_back(memsweep_rate(cpuinfo_path, f->stated_mhz));
    }
    read_file(stat_path, &f->stat_after);
    f->own_ticks = own_ticks() - own_before;
    f->elapsed_s = std::chrono::duration<double>(clock::now() - start).count();
}

/* ====================== All the facts ====================== */

Facts gather(const std::string &root, double seconds)
{
    Facts f;
    f.root = root;
    watch(&f, seconds);

    read_file(root + "/proc/cpuinfo", &f.cpuinfo);
    read_file(root + "/proc/meminfo", &f.meminfo);
    f.transparent_mode = optional_value(root + "/sys/kernel/mm/transparent_hugepage/enabled");
    f.pages.transparent_size = optional_value(root + "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    f.pages.hugetlb = list_folder(root + "/sys/kernel/mm/hugepages",
                                 [](const std::string &name) { return hugetlb_bytes(name) > 0; });
    /* The page size and the processor's line are this machine's: files
     * from elsewhere have none here. */
    if (root.empty()) {
        long page = sysconf(_SC_PAGESIZE);
        f.pages.page_bytes = page > 0 ? (uint64_t)page : 0;
        machine::StatedLine line = machine::stated_line();
        f.stated_line = {line.bytes, line.source};
    }

    /* Each CPU's governor, and the two turbo switches. */
    const std::string cpu_dir = root + "/sys/devices/system/cpu";
    auto cpu_folder = [](const std::string &folder) { return numbered(folder, "cpu") >= 0; };
    for (const std::string &name : list_folder(cpu_dir, cpu_folder)) {
        std::string path = cpu_dir;
        path.append("/").append(name).append("/cpufreq/scaling_governor");
        f.cpus.push_back({name, optional_value(path)});
    }
    f.boost = optional_value(cpu_dir + "/cpufreq/boost");
    f.no_turbo = optional_value(cpu_dir + "/intel_pstate/no_turbo");

    /* The memory's devices: udev's entry, the SMBIOS table (root's to
     * read: whether it is there says why it is not read), EDAC's devices
     * of every controller, by dimm or by rank as the driver lists them. */
    std::string text;
    if (read_file(root + "/run/udev/data/+dmi:id", &text))
        f.memory.udev = text;
    const std::string smbios = root + "/sys/firmware/dmi/tables/DMI";
    f.memory.smbios_there = access(smbios.c_str(), F_OK) == 0;
    if (read_file(smbios, &text))
        f.memory.smbios = text;
    const std::string edac = root + "/sys/devices/system/edac/mc";
    auto controller = [](const std::string &name) { return numbered(name, "mc") >= 0; };
    auto device = [](const std::string &name) { return numbered(name, "dimm") >= 0 || numbered(name, "rank") >= 0; };
    for (const std::string &mc : list_folder(edac, controller)) {
        std::string controller_dir = edac;
        controller_dir.append("/").append(mc);
        for (const std::string &dimm : list_folder(controller_dir, device)) {
            EdacDevice e;
            e.folder = mc;
            e.folder.append("/").append(dimm);
            std::string at = controller_dir;
            at.append("/").append(dimm);
            read_value(at + "/dimm_label", &e.label);
            read_value(at + "/dimm_location", &e.location);
            read_value(at + "/size", &e.size_mib);
            read_value(at + "/dimm_mem_type", &e.mem_type);
            f.memory.edac.push_back(e);
        }
    }
    /* The NUMA nodes, as the kernel lists them; none without NUMA. */
    f.memory.nodes_online = optional_value(root + "/sys/devices/system/node/online");

    /* cpu0's caches, one folder each; index numbers vary. */
    const std::string cache_dir = cpu_dir + "/cpu0/cache";
    auto index_folder = [](const std::string &folder) { return numbered(folder, "index") >= 0; };
    for (const std::string &name : list_folder(cache_dir, index_folder)) {
        CacheFolder cache;
        cache.name = name;
        std::string index = cache_dir;
        index.append("/").append(name);
        read_value(index + "/level", &cache.level);
        read_value(index + "/type", &cache.type);
        read_value(index + "/size", &cache.size);
        read_value(index + "/coherency_line_size", &cache.line);
        f.caches.push_back(cache);
    }
    return f;
}

}  // namespace checks
