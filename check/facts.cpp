// SPDX-License-Identifier: MIT
/*
 * facts.cpp -- memsweep-check's checks: what each file says, and what that
 * means for memsweep's table.
 *
 * The checks read /proc and /sys below a root folder (facts.h).  Each one
 * turns what it read into a Check: a status, figures in words, where there
 * is more to say a note on what they mean for the table and what to do,
 * and the same figures as JSON values.
 */
#include "check/facts.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include <memsweep/clock.h>

#include "clock/cpuinfo_rate.h"

using json = nlohmann::ordered_json;

/* Larger files are read only this far: /proc/cpuinfo of a 1,024-CPU machine
 * is a few megabytes, and /proc/stat smaller; a bigger file is no real one,
 * and reading it whole could exhaust memory. */
static const size_t file_limit = 64u << 20;

/* A value taken from a file is shown with at most this many characters. */
static const size_t shown_limit = 64;

/* The "cpu MHz" line is read this many times, spread over the checks'
 * interval, to see whether it moves. */
static const int rate_reads = 5;

/* A clock rate more than 1 % from the counter's, or a line that moves by
 * more than 1 %, puts the table's figures off by as much. */
static const double rate_tolerance = 0.01;

/* Other work of more than a tenth of one CPU competes with memsweep, on
 * two CPUs as on 64: on memsweep's core it takes memsweep's time, and on
 * any other it shares the cache and memory bandwidth that memsweep
 * measures.  So it is counted in CPUs, not as a share of the machine. */
static const double other_cpus_limit = 0.1;

/* What memsweep needs: its 128 MiB array and a sample store of at most
 * 500 + 3 doubles, in MiB. */
static const double needed_mib = 128.0 + (500.0 + 3.0) * 8.0 / (1024.0 * 1024.0);

/* ====================== Reading files ====================== */

/* read_file reads at most file_limit bytes of the file at path into *text;
 * it returns false, with *text empty, when the file can't be opened. */
static bool read_file(const std::string &path, std::string *text)
{
    text->clear();
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    char chunk[65536];
    size_t n;
    while (text->size() < file_limit && (n = fread(chunk, 1, sizeof chunk, fp)) > 0)
        text->append(chunk, std::min(n, file_limit - text->size()));
    fclose(fp);
    return true;
}

/* read_value reads the first line of a small file such as a sysfs value,
 * without its line end and surrounding blanks; false when it can't be
 * opened. */
static bool read_value(const std::string &path, std::string *value)
{
    value->clear();
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    char line[4096];
    if (fgets(line, sizeof line, fp) != nullptr)
        value->assign(line, strnlen(line, sizeof line));
    fclose(fp);
    size_t end = value->find('\n');
    if (end != std::string::npos)
        value->erase(end);
    size_t first = value->find_first_not_of(" \t\r");
    size_t last = value->find_last_not_of(" \t\r");
    *value = first == std::string::npos ? "" : value->substr(first, last - first + 1);
    return true;
}

/* list_folder returns the names in a folder, "." and ".." left out; none
 * when it can't be opened. */
static std::vector<std::string> list_folder(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (const struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

/* number returns the value of one to nine decimal digits, else -1. */
static long number(const std::string &digits)
{
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return strtol(digits.c_str(), nullptr, 10);
}

/* numbered returns n for a name of the form prefix + digits, else -1. */
static long numbered(const std::string &name, const std::string &prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0 ? number(name.substr(prefix.size())) : -1;
}

/* escaped spells a byte as \xNN. */
static std::string escaped(unsigned char c)
{
    char esc[8];
    snprintf(esc, sizeof esc, "\\x%02x", c);
    return esc;
}

/* shown returns text fit for one line of a terminal: control characters
 * become \xNN, and more than shown_limit characters end in "...".  The
 * controls are C0 and DEL, and C1 as UTF-8 spells them (0xc2 0x80 to 0xc2
 * 0x9f): a terminal obeys 0xc2 0x9b as it obeys ESC [. */
static std::string shown(const std::string &text, size_t limit = shown_limit)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; i++) {
        auto c = (unsigned char)text[i];
        auto next = (unsigned char)(i + 1 < text.size() ? text[i + 1] : 0);
        if (c == 0xc2 && next >= 0x80 && next <= 0x9f)
            out += escaped(c) + escaped(text[++i]);
        else if (c < 0x20 || c == 0x7f)
            out += escaped(c);
        else
            out += (char)c;
    }
    if (text.size() > limit)
        out += "...";
    return out;
}

/* named starts a check: its key in the JSON report and its name in the
 * text report; it is info until judged. */
static Check named(const char *key, const char *name)
{
    Check c;
    c.key = key;
    c.name = name;
    return c;
}

/* fixed formats a number with a given count of decimals. */
static std::string fixed(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

/* ====================== Clock rate ====================== */

/* memsweep_rate finds the clock rate by memsweep's own rule, the one its
 * core_mhz follows (clock/cpuinfo_rate.h). */
Rate memsweep_rate(const std::string &path)
{
    char buf[512];
    cpuinfo_rate rate = read_cpuinfo_rate(path.c_str(), &buf);
    if (rate.source == cpuinfo_no_file)
        return {Source::no_file, rate.mhz};
    if (rate.source == cpuinfo_no_usable_line)
        return {Source::no_usable_line, rate.mhz};
    return {Source::line, rate.mhz};
}

/* A rate that the line shows at one read and not at another is a core's
 * current frequency: the factor then depends on when memsweep reads it.
 * Another machine's line says nothing against this machine's counter, so
 * files from elsewhere get the line only. */
Check clock_check(const std::vector<Rate> &reads, double counter, bool here)
{
    Check c = named("clock_rate", "clock rate");
    const Rate &first = reads.front();
    double low = first.mhz, high = first.mhz;
    json mhz_reads = json::array();
    for (const Rate &r : reads) {
        low = std::min(low, r.mhz);
        high = std::max(high, r.mhz);
        mhz_reads.push_back(r.mhz);
    }
    bool line = first.source == Source::line;
    bool moves = line && high > low * (1.0 + rate_tolerance);
    c.data["cpu_mhz"] = first.mhz;
    if (line) {
        c.data["cpu_mhz_source"] = "cpu MHz line";
        std::string over = " over " + std::to_string(reads.size()) + " reads";
        c.figures = "cpu MHz " + fixed(first.mhz, 3);
        if (moves)
            c.figures += ", moving from " + fixed(low, 3) + " to " + fixed(high, 3) + over +
                         ": a core's current frequency";
        else
            c.figures += ", steady" + over;
    } else if (first.source == Source::no_file) {
        c.data["cpu_mhz_source"] = "fallback: no /proc/cpuinfo";
        c.figures = "no /proc/cpuinfo: memsweep assumes " + fixed(first.mhz, 6) + " MHz";
    } else {
        c.data["cpu_mhz_source"] = "fallback: no usable cpu MHz line";
        c.figures =
            "no usable \"cpu MHz\" line in /proc/cpuinfo: memsweep assumes " + fixed(first.mhz, 0) + " MHz";
    }
    c.data["cpu_mhz_reads"] = mhz_reads;
    c.data["cpu_mhz_moves"] = moves;
    c.data["counter_mhz"] = nullptr;
    c.data["factor"] = nullptr;
    c.data["inverse"] = nullptr;
    const std::string says = "\"Can't open /proc/cpuinfo to get clock information\"";

    if (!here) {
        c.figures += "; files from elsewhere: no counter to compare with";
        if (!line)
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
    c.data["counter_mhz"] = counter;
    c.data["factor"] = factor;
    c.data["inverse"] = 1.0 / factor;
    c.figures += "; counter " + fixed(counter, 3) + " MHz: factor " + fixed(factor, 3);
    bool off =
        std::fabs(low / counter - 1.0) > rate_tolerance || std::fabs(high / counter - 1.0) > rate_tolerance;
    std::string times = "memsweep's figures are " + fixed(factor, 3) +
                        " times the true ones: multiply its table by " + fixed(1.0 / factor, 3);
    c.status = !line || moves || off ? Status::warn : Status::ok;
    if (!line)
        c.note = "memsweep says " + says + " and " + times;
    else if (moves)
        c.note = "memsweep's figures are " + fixed(low / counter, 3) + " to " + fixed(high / counter, 3) +
                 " times the true ones, by what the line shows when it starts: fix the frequency"
                 " (performance governor, turbo off) and check again";
    else if (off)
        c.note = times;
    return c;
}

/* ====================== Processor flags ====================== */

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

/* cpu_flags finds the first line that starts with "flags" and a colon,
 * after blanks, and splits what follows into flags. */
static Flags cpu_flags(const std::string &cpuinfo)
{
    Flags f;
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (line.compare(0, 5, "flags") != 0 || colon == std::string::npos ||
            line.find_first_not_of(" \t", 5) != colon)
            continue;
        f.found = true;
        std::istringstream words(line.substr(colon + 1));
        std::string word;
        while (words >> word)
            f.names.push_back(word);
        break;
    }
    return f;
}

/* counter_check warns unless the counter ticks at a fixed rate that does
 * not stop in idle states, the two things that make its cycles time. */
static Check counter_check(const Flags &flags)
{
    Check c = named("counter", "counter");
    if (!flags.found) {
        c.status = Status::warn;
        c.data["constant_tsc"] = nullptr;
        c.data["nonstop_tsc"] = nullptr;
        c.figures = "no flags line in /proc/cpuinfo: whether the counter ticks at a fixed rate is unknown";
        c.note =
            "memsweep's figures are only as good as its counter; on a processor that is not x86-64 it does "
            "not run at all";
        return c;
    }
    bool constant = has(flags, "constant_tsc"), nonstop = has(flags, "nonstop_tsc");
    c.data["constant_tsc"] = constant;
    c.data["nonstop_tsc"] = nonstop;
    c.data["tsc_known_freq"] = has(flags, "tsc_known_freq");
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

/* machine_check tells a virtual machine, whose figures carry other
 * guests' noise, from bare metal. */
static Check machine_check(const Flags &flags)
{
    Check c = named("machine", "machine");
    if (!flags.found) {
        c.data["hypervisor"] = nullptr;
        c.figures = "no flags line in /proc/cpuinfo: virtual machine or not is unknown";
    } else if (has(flags, "hypervisor")) {
        c.data["hypervisor"] = true;
        c.figures = "hypervisor flag: a virtual machine";
        c.note = "other guests' work shows up as noise: take the median of several runs";
    } else {
        c.status = Status::ok;
        c.data["hypervisor"] = false;
        c.figures = "no hypervisor flag: bare metal";
    }
    return c;
}

/* ====================== Frequency scaling ====================== */

/* scaling_check warns where a governor other than performance, or turbo,
 * lets the cores change speed during a run; no cpufreq at all is info. */
static Check scaling_check(const std::string &root)
{
    Check c = named("frequency_scaling", "frequency scaling");
    const std::string cpu_dir = root + "/sys/devices/system/cpu";

    /* Each CPU's governor; a CPU without one is left out. */
    std::map<std::string, int> governors;
    int cpus = 0, governed = 0;
    for (const std::string &name : list_folder(cpu_dir)) {
        if (numbered(name, "cpu") < 0)
            continue;
        cpus++;
        std::string governor, path = cpu_dir;
        path.append("/").append(name).append("/cpufreq/scaling_governor");
        if (read_value(path, &governor)) {
            governed++;
            governors[governor]++;
        }
    }

    /* The turbo switch: cpufreq/boost (1 = on) or intel_pstate/no_turbo
     * (0 = on); anything else in them is unknown. */
    static const struct {
        const char *file, *on, *off;
    } switches[] = {{"cpufreq/boost", "1", "0"}, {"intel_pstate/no_turbo", "0", "1"}};
    std::string value, turbo_figures, turbo_fix;
    const char *turbo = nullptr;
    for (const auto &sw : switches) {
        if (!read_value(cpu_dir + "/" + sw.file, &value))
            continue;
        turbo = value == sw.on ? "on" : value == sw.off ? "off" : "unknown";
        turbo_figures = "; turbo " + std::string(turbo) + " (" + sw.file + " = " + shown(value, 16) + ")";
        turbo_fix = std::string("echo ") + sw.off + " | sudo tee /sys/devices/system/cpu/" + sw.file;
        break;
    }

    c.data["cpus"] = cpus;
    c.data["cpus_with_cpufreq"] = governed;
    c.data["governors"] = governors;
    c.data["turbo"] = turbo == nullptr ? json(nullptr) : json(turbo);

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
    c.figures = governed == 0 ? "no governor" : "governor " + list + " of " + std::to_string(cpus) + " CPUs";
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

/* The clock ticks of one /proc/stat snapshot: all CPUs together, and how
 * many CPUs it lists. */
struct Ticks {
    bool found = false;
    double total = 0.0, busy = 0.0;
    int cpus = 0;
};

/* stat_ticks reads the "cpu" line: user nice system idle iowait irq
 * softirq steal guest guest_nice.  guest and guest_nice are counted in user
 * and nice already, so the total is the first eight; busy is the total less
 * idle and iowait.  Older kernels have fewer fields (at least four). */
static Ticks stat_ticks(const std::string &stat)
{
    Ticks t;
    std::istringstream lines(stat);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string label;
        words >> label;
        if (numbered(label, "cpu") >= 0) {
            t.cpus++;
        } else if (label == "cpu" && !t.found) {
            double field[8] = {0};
            int n = 0;
            std::string word;
            while (n < 8 && words >> word) {
                char *end = nullptr;
                field[n] = strtod(word.c_str(), &end);
                if (*end != '\0' || !std::isfinite(field[n]) || field[n] < 0.0)
                    break;
                n++;
            }
            if (n < 4)
                continue;
            t.found = true;
            for (int i = 0; i < n; i++)
                t.total += field[i];
            t.busy = t.total - field[3] - field[4];
        }
    }
    return t;
}

/* Other work is the busy ticks less the check's own CPU time, divided by
 * one CPU's ticks over the interval: 1.0 is one CPU kept busy throughout,
 * however many there are. */
Check load_check(const std::string &stat_before, const std::string &stat_after, double own_ticks,
                 double seconds)
{
    Check c = named("other_load", "other load");
    Ticks before = stat_ticks(stat_before), after = stat_ticks(stat_after);
    c.data["interval_s"] = seconds;
    c.data["cpus"] = after.cpus;
    c.data["other_work_cpus"] = nullptr;
    if (!before.found || !after.found || after.cpus == 0) {
        c.figures = "no usable \"cpu\" lines in /proc/stat: other work is unknown";
        return c;
    }
    double cpu_ticks = (after.total - before.total) / after.cpus;
    if (!(cpu_ticks > 0.0)) {
        c.figures = "/proc/stat did not advance over " + fixed(seconds, 1) +
                    " s (files of a machine that is not running?): other work is unknown";
        return c;
    }
    double other = std::clamp((after.busy - before.busy - own_ticks) / cpu_ticks, 0.0, (double)after.cpus);
    c.data["other_work_cpus"] = other;
    c.figures = "other work kept " + fixed(other, 2) + " of " + std::to_string(after.cpus) +
                " CPUs busy over " + fixed(seconds, 1) + " s";
    c.status = other > other_cpus_limit ? Status::warn : Status::ok;
    if (c.status == Status::warn)
        c.note =
            "it competes with memsweep for a core or for the cache and memory it measures: the fastest "
            "runs slow down and more points take all 500 tries; stop that work and check again";
    return c;
}

/* ====================== Memory and huge pages ====================== */

/* memory_check warns when MemAvailable is less than memsweep needs. */
static Check memory_check(const std::string &root)
{
    Check c = named("memory", "memory");
    c.data["needed_mib"] = needed_mib;
    std::string meminfo;
    double kib = -1.0;
    if (read_file(root + "/proc/meminfo", &meminfo)) {
        std::istringstream lines(meminfo);
        std::string line;
        while (std::getline(lines, line)) {
            double value = 0.0;
            char unit[8] = "";
            if (line.compare(0, 13, "MemAvailable:") == 0 &&
                sscanf(line.c_str() + 13, "%lf %7s", &value, unit) == 2 && strcmp(unit, "kB") == 0 &&
                std::isfinite(value) && value >= 0.0) {
                kib = value;
                break;
            }
        }
    }
    if (kib < 0.0) {
        /* Kernels before 3.14 and some containers have no such line. */
        c.data["available_mib"] = nullptr;
        c.figures = "no MemAvailable line in /proc/meminfo: whether memsweep's " + fixed(needed_mib, 0) +
                    " MiB fit is unknown";
        return c;
    }
    double mib = kib / 1024.0;
    c.data["available_mib"] = mib;
    c.figures = fixed(mib, 0) + " MiB available, memsweep needs " + fixed(needed_mib, 0) + " MiB";
    c.status = mib < needed_mib ? Status::warn : Status::ok;
    if (c.status == Status::warn)
        c.note =
            "the system would page memsweep's array out, or stop it, and the largest working sets would "
            "measure the paging: free some memory first";
    return c;
}

/* huge_pages_check reports the bracketed word of the transparent huge page
 * setting, as "always [madvise] never" shows it. */
static Check huge_pages_check(const std::string &root)
{
    Check c = named("huge_pages", "huge pages");
    std::string line;
    bool found = read_value(root + "/sys/kernel/mm/transparent_hugepage/enabled", &line);
    size_t open = line.find('['), close = line.find(']', open == std::string::npos ? 0 : open);
    if (!found || open == std::string::npos || close == std::string::npos) {
        c.data["transparent_mode"] = nullptr;
        c.figures = found ? "transparent huge pages: no [selected] mode in \"" + shown(line) + "\""
                          : "no transparent huge pages setting";
        return c;
    }
    std::string mode = line.substr(open + 1, close - open - 1);
    c.data["transparent_mode"] = mode;
    c.figures = "transparent huge pages: " + shown(mode, 32);
    c.note =
        "with \"always\" the large working sets may sit on 2 MiB pages and miss the TLB less than with "
        "\"madvise\" or \"never\": compare tables made under the same mode";
    return c;
}

/* ====================== Caches ====================== */

/* cache_bytes parses a sysfs cache size: digits and an optional K, M or G;
 * 0 for anything else or for sizes from 2^50 bytes up. */
static uint64_t cache_bytes(const std::string &size)
{
    /* strtoull would take blanks and a sign too. */
    if (size.empty() || !isdigit((unsigned char)size[0]))
        return 0;
    char *end = nullptr;
    uint64_t n = strtoull(size.c_str(), &end, 10); /* too many digits: ULLONG_MAX */
    int shift = 0;
    if (*end == 'K')
        shift = 10;
    else if (*end == 'M')
        shift = 20;
    else if (*end == 'G')
        shift = 30;
    if (shift != 0)
        end++;
    if (*end != '\0' || n >= (uint64_t(1) << (50 - shift)))
        return 0;
    return n << shift;
}

/* size_text shows a size in the largest binary unit that divides it. */
static std::string size_text(uint64_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1u << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

/* A cache of C bytes holds the working sets up to C, and label L is a
 * working set of 2^(L + 13) bytes: the largest label it holds is
 * floor(log2 C) - 13, and its step shows between that label and the next. */
static Check cache_check(const std::string &root)
{
    Check c = named("caches", "caches");
    const std::string dir = root + "/sys/devices/system/cpu/cpu0/cache";

    /* The first data or unified cache of each level; index numbers vary. */
    std::map<long, std::pair<std::string, uint64_t>> levels;
    for (const std::string &name : list_folder(dir)) {
        if (numbered(name, "index") < 0)
            continue;
        std::string level, type, size, index = dir;
        index.append("/").append(name);
        read_value(index + "/level", &level);
        read_value(index + "/type", &type);
        read_value(index + "/size", &size);
        long n = number(level);
        uint64_t bytes = cache_bytes(size);
        if (n < 1 || n > 9 || bytes == 0 || (type != "Data" && type != "Unified") || levels.count(n))
            continue;
        levels[n] = {type, bytes};
    }

    json list = json::array();
    for (const auto &[level, cache] : levels) {
        const auto &[type, bytes] = cache;
        int holds = std::ilogb((double)bytes) - 13; /* floor(log2 bytes) - 13, exact below 2^53 */
        json entry = {{"level", level},
                      {"type", type},
                      {"size_bytes", bytes},
                      {"largest_label_held", nullptr},
                      {"step_between_labels", nullptr}};
        std::string text = "L" + std::to_string(level) + (level == 1 && type == "Data" ? "d " : " ") +
                           size_text(bytes) + ": ";
        if (holds < 1) {
            text += "below label 1 (16 KiB): no step shows";
        } else if (holds > 13) {
            text += "holds label 14 (128 MiB): no step shows";
            entry["largest_label_held"] = 14;
        } else {
            text += "between labels " + std::to_string(holds) + " and " + std::to_string(holds + 1);
            entry["largest_label_held"] = holds;
            entry["step_between_labels"] = {holds, holds + 1};
        }
        list.push_back(entry);
        c.figures += c.figures.empty() ? "cpu0's " : "; ";
        c.figures += text;
    }
    c.data["cpu0"] = list;
    if (levels.empty())
        c.figures = "no cache sizes for cpu0 in sysfs (usual in some virtual machines and on arm64 boards)";
    return c;
}

/* ====================== All checks and the reports ====================== */

/* own_ticks returns this process's CPU time so far, in clock ticks (the
 * unit of /proc/stat). */
static double own_ticks()
{
    struct rusage usage {
    };
    getrusage(RUSAGE_SELF, &usage);
    double seconds = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
                     (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
    long hz = sysconf(_SC_CLK_TCK);
    return seconds * (double)(hz > 0 ? hz : 100);
}

std::vector<Check> run_checks(const std::string &root, double seconds)
{
    using clock = std::chrono::steady_clock;
    const std::string cpuinfo_path = root + "/proc/cpuinfo", stat_path = root + "/proc/stat";

    /* The interval: the load and the "cpu MHz" line are watched across it,
     * and the counter is measured at its start. */
    std::string stat_before, stat_after, cpuinfo;
    clock::time_point start = clock::now();
    read_file(stat_path, &stat_before);
    double own_before = own_ticks();
    std::vector<Rate> reads{memsweep_rate(cpuinfo_path)};
    /* The counter is this machine's: files from elsewhere have none here. */
    bool here = root.empty();
    double counter = here ? counter_mhz() : 0.0;
    for (int i = 1; i < rate_reads; i++) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds * i / (rate_reads - 1)));
        reads.push_back(memsweep_rate(cpuinfo_path));
    }
    read_file(stat_path, &stat_after);
    double own = own_ticks() - own_before;
    double elapsed = std::chrono::duration<double>(clock::now() - start).count();

    read_file(cpuinfo_path, &cpuinfo);
    Flags flags = cpu_flags(cpuinfo);
    return {clock_check(reads, counter, here),
            counter_check(flags),
            machine_check(flags),
            scaling_check(root),
            load_check(stat_before, stat_after, own, elapsed),
            memory_check(root),
            huge_pages_check(root),
            cache_check(root)};
}

/* status_word is the status as the reports spell it. */
static const char *status_word(Status s)
{
    return s == Status::ok ? "ok" : s == Status::warn ? "warn" : "info";
}

std::string format_text(const std::vector<Check> &checks)
{
    // The names line up in a column as wide as the longest.
    auto longer = [](const Check &a, const Check &b) { return a.name.size() < b.name.size(); };
    auto longest = std::max_element(checks.begin(), checks.end(), longer);
    size_t width = longest == checks.end() ? 0 : longest->name.size();
    std::string text;
    for (const Check &c : checks) {
        std::string status = status_word(c.status);
        text += status + std::string(6 - status.size(), ' ') + c.name +
                std::string(width + 2 - c.name.size(), ' ') + c.figures +
                (c.note.empty() ? "" : " -- " + c.note) + "\n";
    }
    return text;
}

std::string format_json(const std::vector<Check> &checks, const std::string &root)
{
    json report;
    report["root"] = root.empty() ? "/" : root;
    int warnings = 0;
    json members = json::object();
    for (const Check &c : checks) {
        warnings += c.status == Status::warn;
        json member = {{"status", status_word(c.status)}, {"figures", c.figures}, {"note", c.note}};
        member.update(c.data);
        members[c.key] = member;
    }
    report["warnings"] = warnings;
    report["checks"] = members;
    /* Bytes from files that are not UTF-8 become U+FFFD rather than an
     * exception. */
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

int exit_status(const std::vector<Check> &checks)
{
    return std::any_of(checks.begin(), checks.end(), [](const Check &c) { return c.status == Status::warn; })
               ? 1
               : 0;
}
