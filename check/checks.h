// SPDX-License-Identifier: MIT
/*
 * checks.h -- the checks of memsweep-check, as a library: what they find
 * out about a machine, what that means for memsweep's table, and how they
 * say so.  memsweep-check links it, and so can any command of this project
 * that checks a machine in-process.  Private to this project; not installed.
 *
 * The library has three parts, each in a file of its own:
 *  - gather.cpp reads the files and watches the machine over an interval,
 *    into Facts: texts and numbers as found, nothing judged;
 *  - judge.cpp turns Facts into Checks, each check a pure function of the
 *    texts and numbers it is given; it opens no file;
 *  - report.cpp prints the Checks as text or as JSON, and gives the exit
 *    status.
 *
 * Every file is read below a root folder: "" reads this machine's /proc and
 * /sys, and any other folder reads DIR/proc/cpuinfo, DIR/sys/... instead, as
 * tests and users checking files collected elsewhere do.  The counter's rate
 * comes from counter_mhz(), so it is measured for this machine's files only:
 * another machine's clock rate is reported, not judged.
 *
 * A missing, unreadable or garbled file never stops the checks: the check
 * that needs it says what it could not tell, as info or, where memsweep's
 * table is at stake, as a warning.  Text taken from files is shown with its
 * control characters escaped and its length capped.
 */
#ifndef MEMSWEEP_CHECK_CHECKS_H
#define MEMSWEEP_CHECK_CHECKS_H

#include <stdint.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "check/dimms.h"

namespace checks {

/* ok: nothing to do; warn: memsweep's table is at stake; info: worth knowing. */
enum class Status { ok, warn, info };

/* ---- Each check's figures, as values: what the JSON report prints as a
 * check's data (report.cpp), and what a command that checks a machine
 * in-process reads by field.  Units are in the names. */

/* The clock rate memsweep would use against the counter's. */
struct ClockRate {
    double cpu_mhz = 0.0;               /* the first read; NaN for an Arm core's stated rate,
                                           read from elsewhere */
    std::string cpu_mhz_source;         /* "cpu MHz line", or which fallback */
    std::vector<double> cpu_mhz_reads;  /* every read over the interval */
    bool cpu_mhz_moves = false;         /* by more than rate_tolerance */
    std::optional<double> counter_mhz;  /* none when not compared */
    std::optional<double> factor;       /* cpu_mhz over counter_mhz */
    std::optional<double> inverse;      /* its inverse: what corrects the table */
};

/* The counter's flags; none without a flags line. */
struct CounterFlags {
    bool flags_found = false;
    bool constant_tsc = false, nonstop_tsc = false, tsc_known_freq = false;
    double stated_mhz = 0.0; /* the rate a counter states of itself; 0.0 for none */
};

/* Virtual machine or bare metal; none without a flags line. */
struct MachineKind {
    std::optional<bool> hypervisor;
};

/* The governors by name and count, and the turbo ("on", "off", "unknown";
 * none without a switch). */
struct Scaling {
    int cpus = 0;
    int cpus_with_cpufreq = 0;
    std::map<std::string, int> governors;
    std::optional<std::string> turbo;
};

/* Other work over the interval, in CPUs; none when unknown. */
struct OtherLoad {
    double interval_s = 0.0;
    int cpus = 0; /* logical CPUs in /proc/stat */
    std::optional<double> other_work_cpus;
};

/* What memsweep needs and what is available, in MiB; and the memory's
 * devices and rated peak (dimms.h): none where unknown, with why. */
struct Memory {
    double needed_mib = 0.0;
    std::optional<double> available_mib;
    std::vector<Dimm> dimms;            /* the devices in place */
    std::optional<int> channels;
    std::optional<long> mts;            /* the slowest configured speed */
    std::optional<double> rated_gbs;
    std::string rated_source;           /* "udev", "SMBIOS", "EDAC"; "" where none */
    std::string rated_unknown;          /* why the rated peak is unknown; "" where known */
    std::optional<int> numa_nodes;      /* the nodes online; none where the kernel lists none */
};

/* The transparent huge page mode, as "madvise", and the sizes of pages:
 * the system's small page, its transparent huge page, and the sizes of its
 * hugetlb pools, ascending; none (or empty) when unknown. */
struct HugePages {
    std::optional<std::string> transparent_mode;
    std::optional<uint64_t> page_bytes;
    std::optional<uint64_t> transparent_bytes;
    std::vector<uint64_t> hugetlb_bytes;
};

/* One of cpu0's data or unified caches, placed in memsweep's table. */
struct CacheLevel {
    long level = 0;
    std::string type;  /* "Data" or "Unified" */
    uint64_t size_bytes = 0;
    std::optional<int> largest_label_held;               /* none below label 1 */
    std::optional<std::array<int, 2>> step_between_labels; /* none where no step shows */
};

/* cpu0's caches, one per level, in level order, and the smallest data
 * line: from the first level's coherency_line_size in sysfs, else as the
 * processor states it (line_source names the register); none unknown. */
struct Caches {
    std::vector<CacheLevel> cpu0;
    std::optional<uint64_t> line_bytes;
    std::string line_source; /* "sysfs", "CPUID", "CTR_EL0"; "" when unknown */
};

/* One check's outcome. */
struct Check {
    Status status = Status::info;
    std::string key;     /* its key in the JSON report, as "clock_rate" */
    std::string name;    /* its name in the text report, as "clock rate" */
    std::string figures; /* what was found, in words and numbers */
    std::string note;    /* what it means for the table and what to do; "" if nothing */
    std::variant<ClockRate, CounterFlags, MachineKind, Scaling, OtherLoad, Memory, HugePages, Caches>
        data;            /* the figures as values */
};

/* figures_of returns the figures of the first check of a kind, or none
 * when the list has no such check. */
template <class Figures>
const Figures *figures_of(const std::vector<Check> &checks)
{
    for (const Check &c : checks) {
        // cppcheck-suppress useStlAlgorithm ; the loop returns the figures, not whether
        if (const Figures *f = std::get_if<Figures>(&c.data))
            return f;
    }
    return nullptr;
}

/* figures_of returns one check's figures; the check must be of that kind. */
template <class Figures>
const Figures &figures_of(const Check &check)
{
    return std::get<Figures>(check.data);
}

/* Where memsweep's clock rate comes from: the first "cpu MHz" line, or a
 * fallback for no /proc/cpuinfo (2147.483656 MHz) or no usable line (1000). */
/* Where memsweep's rate comes from: the "cpu MHz" line, one of its two
 * fallbacks, or (64-bit Arm, with no such line) the counter's stated rate. */
enum class Source { line, no_file, no_usable_line, stated };

/* One reading of the clock rate by memsweep's rule, in MHz. */
struct Rate {
    Source source;
    double mhz;
};

/* The limits the checks judge by, for whoever judges a longer watch the
 * same way: a clock rate, or a "cpu MHz" line's move, of more than 1 %
 * (rate_tolerance), and other work of more than a tenth of one CPU
 * (other_cpus_limit). */
extern const double rate_tolerance;
extern const double other_cpus_limit;

/* The checks watch the machine for this long, in seconds, wherever they
 * run: long enough for /proc/stat's ticks (10 ms each) to give the load to
 * a percent or so. */
extern const double watch_seconds;

/* ====================== Gathering (gather.cpp) ====================== */

/* One numbered CPU folder of /sys/devices/system/cpu, as "cpu3". */
struct CpuFolder {
    std::string name;
    std::optional<std::string> governor; /* cpufreq/scaling_governor's first line; none without the file */
};

/* One of cpu0's cache folders, as "index2": the first lines of its level,
 * type, size and coherency_line_size files, "" where a file is missing. */
struct CacheFolder {
    std::string name;
    std::string level, type, size, line;
};

/* What the system says of its pages: the small page's size (0 unknown;
 * sysconf, for this machine's files only), the first line of the
 * transparent huge page's size file (hpage_pmd_size; none without it), and
 * the names of the hugetlb pools' folders, as "hugepages-2048kB". */
struct PageFacts {
    uint64_t page_bytes = 0;
    std::optional<std::string> transparent_size;
    std::vector<std::string> hugetlb;
};

/* The files that describe the memory's devices: udev's database entry of
 * the DMI device, the SMBIOS table where it can be read (root), whether it
 * is there at all, and EDAC's devices. */
struct MemoryFiles {
    std::optional<std::string> udev;
    std::optional<std::string> smbios;
    bool smbios_there = false;
    std::vector<EdacDevice> edac;
    std::optional<std::string> nodes_online; /* /sys/devices/system/node/online, as "0-1" */
};

/* The smallest data line as the processor states it (machine/cpu.h): its
 * bytes (0 unknown, or for files from elsewhere) and the register. */
struct LineFacts {
    uint64_t bytes = 0;
    std::string source;
};

/* What gather found below a root folder.  Texts are as read (whole files
 * up to 16 MiB, or the first line of a sysfs value without its line end and
 * surrounding blanks: common/files.h); a file that can't be read, or is no
 * regular file (a FIFO, a device), is "" or, where that differs from an
 * empty file, none.  Folders are listed in name order. */
struct Facts {
    std::string root; /* "" for this machine's files */

    /* The watch over the interval. */
    std::string stat_before;      /* /proc/stat at the interval's start */
    std::string stat_after;       /* /proc/stat at its end */
    double own_ticks = 0.0;       /* this process's CPU time over the interval, in clock ticks */
    double elapsed_s = 0.0;       /* the interval as measured, in seconds */
    std::vector<Rate> rate_reads; /* the clock rate by memsweep's rule, spread over the interval;
                                     the first is the rate memsweep would use */
    double counter_mhz = 0.0;     /* the counter's rate at the start; 0.0 when it could not be
                                     measured, or for files from elsewhere */
    double stated_mhz = 0.0;      /* the rate the counter states (64-bit Arm's CNTFRQ_EL0); 0.0 for
                                     none, or for files from elsewhere */

    /* Read once, after the interval. */
    std::string cpuinfo;                           /* /proc/cpuinfo */
    std::string meminfo;                           /* /proc/meminfo */
    std::optional<std::string> transparent_mode;   /* /sys/kernel/mm/transparent_hugepage/enabled */
    std::vector<CpuFolder> cpus;                   /* /sys/devices/system/cpu/cpuN */
    std::optional<std::string> boost;              /* /sys/devices/system/cpu/cpufreq/boost: 1 = turbo on */
    std::optional<std::string> no_turbo;           /* .../cpu/intel_pstate/no_turbo: 0 = turbo on */
    std::vector<CacheFolder> caches;               /* /sys/devices/system/cpu/cpu0/cache/indexN */
    PageFacts pages;                               /* /sys/kernel/mm/{transparent_hugepage,hugepages} */
    LineFacts stated_line;                         /* the processor's own word, this machine only */
    MemoryFiles memory;                            /* /run/udev, /sys/firmware/dmi, /sys/.../edac */
};

/* gather reads the files below root, measures the counter's rate (for
 * root "" only), and watches the "cpu MHz" line and /proc/stat for about
 * `seconds` seconds. */
Facts gather(const std::string &root, double seconds);

/* own_ticks returns this process's CPU time so far, in clock ticks (the
 * unit of /proc/stat). */
double own_ticks();

/* memsweep_rate reads the clock rate from the cpuinfo file at path by
 * memsweep's own rule (its clock unit's core_mhz), where the counter states
 * stated_mhz (0.0: none, as x86-64's, or another machine's files). */
Rate memsweep_rate(const std::string &path, double stated_mhz = 0.0);

/* ====================== Judging (judge.cpp) ====================== */

/* judge returns the eight checks of the facts in their report order: clock
 * rate, counter, machine, frequency scaling, other load, memory, huge
 * pages, caches. */
std::vector<Check> judge(const Facts &facts);

/* clock_check compares the rate memsweep will use (the first of reads) and
 * the later reads of the "cpu MHz" line with the counter's rate in MHz (0.0
 * when it could not be measured).  here is false for files collected from
 * another machine: the check then reports the line only, as info; and
 * arm_files says they are an Arm core's, where memsweep without a line
 * takes the counter's stated rate, unknown here. */
Check clock_check(const std::vector<Rate> &reads, double counter, bool here, bool arm_files = false);

/* counter_check warns unless the flags of a cpuinfo text say that the
 * counter ticks at a fixed rate, also in idle states; a counter that states
 * its rate (stated_mhz above 0: 64-bit Arm's generic timer, which ticks at
 * a fixed rate by the architecture, idle or not) passes by what it is, and
 * its stated rate is held against the measured one (counter_mhz, 0.0 where
 * not measured): apart by more than rate_tolerance, some guests' nonsense,
 * it warns. */
Check counter_check(const std::string &cpuinfo, double stated_mhz = 0.0, double counter_mhz = 0.0);

/* machine_check tells a virtual machine from bare metal by the flags of a
 * cpuinfo text. */
Check machine_check(const std::string &cpuinfo);

/* scaling_check judges the CPUs' governors and the turbo switches. */
Check scaling_check(const std::vector<CpuFolder> &cpus, const std::optional<std::string> &boost,
                    const std::optional<std::string> &no_turbo);

/* load_check measures the other work, in CPUs, from two snapshots of
 * /proc/stat taken `seconds` apart, of which `own_ticks` clock ticks were
 * this process's own CPU time. */
Check load_check(const std::string &stat_before, const std::string &stat_after, double own_ticks,
                 double seconds);

/* memory_check compares MemAvailable of a meminfo text with what memsweep
 * needs, and gives the memory's rated peak from its devices: udev's, else
 * the SMBIOS table's, else EDAC's (channels only); "unknown", with why,
 * where none tells.  The devices' warnings (dimms.h) are its own. */
Check memory_check(const std::string &meminfo, const MemoryFiles &files = {});

/* huge_pages_check reports the transparent huge page mode from the first
 * line of its setting (none without the file), and the sizes of pages:
 * 4, 16 or 64 KiB small pages, transparent huge pages of 2, 32 or 512 MiB,
 * hugetlb pools from 64 KiB to 16 GiB.  A transparent huge page larger
 * than memsweep's array is a warning where huge pages are used at all: no
 * working set can sit on one. */
Check huge_pages_check(const std::optional<std::string> &enabled, const PageFacts &pages = {});

/* cache_check places cpu0's data and unified caches in memsweep's table,
 * and warns when one holds its largest working set; it gives the line's
 * size from sysfs, else as the processor states it. */
Check cache_check(const std::vector<CacheFolder> &caches, const LineFacts &stated = {});

/* cpu_busy_shares returns each CPU's busy share over the interval between
 * two /proc/stat snapshots, from 0 (idle throughout) to 1, by CPU number:
 * the busy ticks of its cpuN line (all but idle and iowait, as load_check
 * counts them) over all its ticks.  A CPU that is not in both snapshots, or
 * whose ticks did not advance, is left out. */
std::map<long, double> cpu_busy_shares(const std::string &stat_before, const std::string &stat_after);

/* model_name returns the first "model name" of a cpuinfo text as the
 * checks show text from files (control characters escaped, at most 64
 * characters); without one, 64-bit Arm's core by its "CPU implementer"
 * and "CPU part" (Arm's common cores by name, as "Neoverse-N1", any other
 * as "CPU implementer 0x41, part 0xd0c"); "" when there is neither. */
std::string model_name(const std::string &cpuinfo);

/* mem_total_mib returns MemTotal of a meminfo text in MiB; -1.0 when there
 * is no usable MemTotal line. */
double mem_total_mib(const std::string &meminfo);

/* run_checks gathers the facts below root over `seconds` and judges them. */
inline std::vector<Check> run_checks(const std::string &root, double seconds)
{
    return judge(gather(root, seconds));
}

/* ====================== Reporting (report.cpp) ====================== */

/* format_text returns one aligned line per check: status word, name,
 * figures and, where there is one, the note after " -- ". */
std::string format_text(const std::vector<Check> &results);

/* format_json returns one JSON object, as text indented by two: the root
 * folder ("/" for this machine's files), the number of warnings, and one
 * member per check with its status, its figures and note as text, and its
 * data. */
std::string format_json(const std::vector<Check> &results, const std::string &root);

/* exit_status is 1 when any check warns, else 0. */
int exit_status(const std::vector<Check> &results);

}  // namespace checks

#endif /* MEMSWEEP_CHECK_CHECKS_H */
