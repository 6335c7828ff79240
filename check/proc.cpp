// SPDX-License-Identifier: MIT
/*
 * proc.cpp -- the readers of /proc and /sys texts.
 */
#include "check/proc.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace checks {

bool cpuinfo_field(const std::string &cpuinfo, const std::string &key, std::string *value)
{
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (line.compare(0, key.size(), key) != 0 || colon == std::string::npos ||
            line.find_first_not_of(" \t", key.size()) != colon)
            continue;
        *value = line.substr(colon + 1);
        return true;
    }
    return false;
}

double meminfo_kib(const std::string &meminfo, const std::string &key)
{
    std::istringstream lines(meminfo);
    std::string line;
    while (std::getline(lines, line)) {
        double value = 0.0;
        char unit[8] = "";
        if (line.compare(0, key.size(), key) == 0 &&
            sscanf(line.c_str() + key.size(), "%lf %7s", &value, unit) == 2 && strcmp(unit, "kB") == 0 &&
            std::isfinite(value) && value >= 0.0)
            return value;
    }
    return -1.0;
}

bool line_ticks(std::istringstream &words, LineTicks *t)
{
    double field[8] = {0};
    int n = 0;
    std::string word;
    while (n < 8 && words >> word) {
        char *end = nullptr;
        double value = strtod(word.c_str(), &end);
        if (*end != '\0' || !std::isfinite(value) || value < 0.0)
            break;
        field[n++] = value;
    }
    if (n < 4)
        return false;
    t->total = 0.0;
    for (int i = 0; i < n; i++)
        t->total += field[i];
    t->busy = t->total - field[3] - field[4];
    return true;
}

/* each_stat_line calls line(label, words) for every line of a /proc/stat
 * text, with the words that follow its label. */
template <class Line>
static void each_stat_line(const std::string &stat, Line line)
{
    std::istringstream lines(stat);
    std::string text;
    while (std::getline(lines, text)) {
        std::istringstream words(text);
        std::string label;
        words >> label;
        line(label, words);
    }
}

Ticks stat_ticks(const std::string &stat)
{
    Ticks t;
    each_stat_line(stat, [&](const std::string &label, std::istringstream &words) {
        if (numbered(label, "cpu") >= 0)
            t.cpus++;
        else if (label == "cpu" && !t.found)
            t.found = line_ticks(words, &t.all);
    });
    return t;
}

std::map<long, LineTicks> ticks_by_cpu(const std::string &stat)
{
    std::map<long, LineTicks> cpus;
    each_stat_line(stat, [&](const std::string &label, std::istringstream &words) {
        long n = numbered(label, "cpu");
        LineTicks t;
        if (n >= 0 && line_ticks(words, &t))
            cpus[n] = t;
    });
    return cpus;
}

uint64_t cache_bytes(const std::string &size)
{
    /* strtoull would take blanks and a sign too. */
    if (size.empty() || isdigit((unsigned char)size[0]) == 0)
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
uint64_t transparent_huge_bytes(const std::optional<std::string> &pmd_size, uint64_t page_bytes)
{
    long long bytes = pmd_size.has_value() ? long_number(*pmd_size) : -1;
    if (bytes > 0)
        return (uint64_t)bytes;
    /* A middle-level table is one page of 8-byte entries. */
    return page_bytes > 0 && page_bytes <= (uint64_t(1) << 24) ? page_bytes * (page_bytes / 8) : 0;
}

uint64_t hugetlb_bytes(const std::string &folder)
{
    const std::string prefix = "hugepages-";
    const std::string suffix = "kB";
    if (folder.size() <= prefix.size() + suffix.size() || folder.compare(0, prefix.size(), prefix) != 0 ||
        folder.compare(folder.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    long long kib = long_number(folder.substr(prefix.size(), folder.size() - prefix.size() - suffix.size()));
    return kib > 0 && kib <= (1LL << 40) ? (uint64_t)kib << 10 : 0;
}

double huge_share(const std::string &smaps, uintptr_t begin, uintptr_t end)
{
    if (end <= begin)
        return 0.0;
    std::istringstream lines(smaps);
    std::string line;
    uintptr_t overlap = 0; /* of the current mapping with the range, in bytes */
    double huge = 0.0;     /* bytes on huge pages, counted at most as the overlap */
    while (std::getline(lines, line)) {
        unsigned long from = 0;
        unsigned long to = 0;
        double kib = 0.0;
        char unit[8] = "";
        /* A mapping's first line is "from-to perms offset device inode path". */
        if (sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(':') > line.find(' ')) {
            uintptr_t lo = std::max<uintptr_t>(from, begin);
            uintptr_t hi = std::min<uintptr_t>(to, end);
            overlap = hi > lo ? hi - lo : 0;
        } else if (line.compare(0, 14, "AnonHugePages:") == 0 &&
                   sscanf(line.c_str() + 14, "%lf %7s", &kib, unit) == 2 && strcmp(unit, "kB") == 0 &&
                   kib > 0.0) {
            huge += std::min(kib * 1024.0, (double)overlap);
        }
    }
    return std::min(huge / (double)(end - begin), 1.0);
}

}  // namespace checks
