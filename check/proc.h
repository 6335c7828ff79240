// SPDX-License-Identifier: MIT
/*
 * proc.h -- the readers of what /proc and /sys say, in one place: numbered
 * names and values, cpuinfo fields, meminfo values, /proc/stat's ticks, a
 * sysfs cache size, and the huge pages of a range in smaps.  Each reads a
 * text it is given and opens no file.  Private to this project.
 */
#ifndef MEMSWEEP_CHECK_PROC_H
#define MEMSWEEP_CHECK_PROC_H

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "common/text.h"

namespace checks {

/* number returns the value of decimal digits alone up to 999,999,999,
 * else -1. */
inline long number(const std::string &digits)
{
    long long value = 0;
    return memsweep::whole_number(digits, 999999999, &value) ? (long)value : -1;
}

/* long_number returns the value of one to eighteen decimal digits, else -1. */
inline long long long_number(const std::string &digits)
{
    long long value = 0;
    return memsweep::whole_number(digits, LLONG_MAX, &value) ? value : -1;
}

/* numbered returns n for a name of the form prefix + digits, else -1. */
inline long numbered(const std::string &name, const std::string &prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0 ? number(name.substr(prefix.size())) : -1;
}

/* cpuinfo_field finds the first line of a cpuinfo text that starts with
 * key and, after blanks, a colon, and sets *value to what follows the
 * colon; false when no line does. */
bool cpuinfo_field(const std::string &cpuinfo, const std::string &key, std::string *value);

/* meminfo_kib returns the value of the first line of a meminfo text that
 * starts with key (as "MemAvailable:") and gives a number of kB; -1.0 when
 * none does. */
double meminfo_kib(const std::string &meminfo, const std::string &key);

/* The clock ticks of one line of /proc/stat: user nice system idle iowait
 * irq softirq steal guest guest_nice.  guest and guest_nice are counted in
 * user and nice already, so the total is the first eight; busy is the total
 * less idle and iowait.  Older kernels have fewer fields (at least four). */
struct LineTicks {
    double total = 0.0, busy = 0.0;
};

/* The clock ticks of one /proc/stat snapshot: all CPUs together (its "cpu"
 * line), and how many CPUs it lists. */
struct Ticks {
    bool found = false;
    LineTicks all;
    int cpus = 0;
};

/* line_ticks reads the fields that follow a line's label, up to the first
 * that is not a number of ticks; false when fewer than four are. */
bool line_ticks(std::istringstream &words, LineTicks *t);

/* stat_ticks reads the first usable "cpu" line and counts the cpuN lines. */
Ticks stat_ticks(const std::string &stat);

/* ticks_by_cpu returns the ticks of the usable cpuN lines of a snapshot by N. */
std::map<long, LineTicks> ticks_by_cpu(const std::string &stat);

/* cache_bytes parses a sysfs cache size: digits and an optional K, M or G;
 * 0 for anything else or for sizes from 2^50 bytes up. */
uint64_t cache_bytes(const std::string &size);
/* transparent_huge_bytes returns the transparent huge page's size: the
 * bytes of hpage_pmd_size's first line where it is a number, else what a
 * page table's middle level maps with page_bytes pages (page_bytes^2 / 8:
 * 2 MiB for 4 KiB, 32 MiB for 16 KiB, 512 MiB for 64 KiB pages); 0 when
 * neither is known. */
uint64_t transparent_huge_bytes(const std::optional<std::string> &pmd_size, uint64_t page_bytes);

/* hugetlb_bytes returns the page size a hugetlb pool's folder names, as
 * "hugepages-2048kB"; 0 for any other name. */
uint64_t hugetlb_bytes(const std::string &folder);

/* huge_share returns the share of [begin, end) that sits on huge pages, by
 * the AnonHugePages lines of an smaps text (/proc/self/smaps): each mapping
 * that overlaps the range counts with its huge pages, at most the overlap.
 * 0.0 when none does or the range is empty. */
double huge_share(const std::string &smaps, uintptr_t begin, uintptr_t end);

}  // namespace checks

#endif /* MEMSWEEP_CHECK_PROC_H */
