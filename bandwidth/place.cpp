// SPDX-License-Identifier: MIT
/*
 * place.cpp -- the choices around the team, from what the machine's files
 * say below a root folder: the working sets, the CPUs and their order, the
 * cgroup's quota, and which clock times a point.  Nothing here measures.
 */
#include "bandwidth/bandwidth.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace bandwidth {

/* read_text returns the whole file at path; "" when it can't be read. */
static std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

/* whole_number reads a decimal number of digits alone, up to max; false
 * for anything else (a sign, blanks, more digits than max has). */
static bool whole_number(const std::string &text, long long max, long long *value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = strtoll(text.c_str(), nullptr, 10);
    return *value <= max;
}

/* ====================== Sizes ====================== */

static const uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;
static const uint64_t smallest = 16 * KiB, sweep_largest = 128 * MiB, largest = 1 * GiB;
/* Four times the largest cache leaves it a quarter of the working sets at
 * most, as the latency's sizes have it. */
static const uint64_t beyond_cache = 4;

std::vector<uint64_t> sizes(uint64_t largest_cache, int threads, double available_mib)
{
    uint64_t n = threads > 0 ? (uint64_t)threads : 1;
    uint64_t top = sweep_largest;
    uint64_t reach = std::min(largest_cache / n * beyond_cache, largest);
    while (top * 2 <= reach)
        top *= 2;
    if (available_mib < 0.0) {
        top = std::min(top, sweep_largest);
    } else {
        /* All threads' buffers together within half of what is free, and
         * within what memsweep's array leaves. */
        double free_bytes = available_mib * (double)MiB;
        double room = std::min(free_bytes / 2.0, free_bytes - (double)sweep_largest) / (double)n;
        while (top > smallest && (double)top > room)
            top /= 2;
    }
    std::vector<uint64_t> list;
    for (uint64_t s = smallest; s <= top; s *= 2)
        list.push_back(s);
    return list;
}

/* ====================== CPUs ====================== */

/* A CPU's number is below this: no kernel numbers more (x86-64's largest
 * NR_CPUS is 8,192), and a process's masks are read up to it. */
static const long long cpu_number_limit = 1 << 20;

std::vector<int> parse_cpu_list(const std::string &text)
{
    std::vector<int> cpus;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        part.erase(part.find_last_not_of(" \n\t") + 1);
        part.erase(0, part.find_first_not_of(" \n\t"));
        size_t dash = part.find('-');
        long long from = 0, to = 0;
        if (!whole_number(part.substr(0, dash), cpu_number_limit - 1, &from))
            return {};
        if (dash == std::string::npos)
            to = from;
        else if (!whole_number(part.substr(dash + 1), cpu_number_limit - 1, &to))
            return {};
        if (to < from)
            return {};
        for (long long c = from; c <= to; c++)
            cpus.push_back((int)c);
    }
    return cpus;
}

/* quota_of reads a cpu.max text, "max 100000" or "150000 100000", as CPUs;
 * 0 for none. */
static double quota_of(const std::string &text)
{
    double quota = 0.0, period = 0.0;
    if (sscanf(text.c_str(), "%lf %lf", &quota, &period) == 2 && quota > 0.0 && period > 0.0)
        return quota / period;
    return 0.0;
}

double cpu_quota(const std::string &root)
{
    /* The version 2 line is "0::/path". */
    std::stringstream lines(read_text(root + "/proc/self/cgroup"));
    std::string line, path;
    bool found = false;
    while (std::getline(lines, line))
        if (line.compare(0, 3, "0::") == 0) {
            path = line.substr(3);
            found = true;
        }
    if (!found || path.find("..") != std::string::npos)
        return 0.0;
    double least = 0.0;
    for (;;) {
        std::string file = root + "/sys/fs/cgroup";
        file += path;
        file += "/cpu.max";
        double q = quota_of(read_text(file));
        if (q > 0.0 && (least == 0.0 || q < least))
            least = q;
        if (path.empty() || path == "/")
            break;
        path.erase(path.find_last_of('/'));
    }
    return least;
}

/* take_by_node appends cpus to order taking one from each NUMA node in
 * turn, each node's in ascending order. */
static void take_by_node(const std::vector<int> &cpus, const std::map<int, int> &node_of, std::vector<int> *order)
{
    std::map<int, std::vector<int>> by_node;
    for (int c : cpus) {
        auto it = node_of.find(c);
        by_node[it == node_of.end() ? 0 : it->second].push_back(c);
    }
    for (size_t round = 0;; round++) {
        bool any = false;
        for (auto &node : by_node)
            if (round < node.second.size()) {
                order->push_back(node.second[round]);
                any = true;
            }
        if (!any)
            break;
    }
}

Placement place(const std::string &root, const std::vector<int> &allowed, int threads)
{
    Placement p;
    if (threads < 1 || (size_t)threads > allowed.size()) {
        p.error = std::to_string(threads) + " threads asked, but this process may use " +
                  std::to_string(allowed.size()) + " CPUs";
        return p;
    }
    const std::string cpu_dir = root + "/sys/devices/system/cpu/cpu";
    std::set<int> may(allowed.begin(), allowed.end());

    /* A CPU is its core's first where no allowed sibling has a lower number. */
    std::vector<int> firsts, seconds;
    for (int c : may) {
        std::vector<int> siblings =
            parse_cpu_list(read_text(cpu_dir + std::to_string(c) + "/topology/thread_siblings_list"));
        bool first = true;
        for (int s : siblings)
            if (s < c && may.count(s) != 0)
                first = false;
        (first ? firsts : seconds).push_back(c);
    }

    /* Without the node folder every CPU is on node 0. */
    std::map<int, int> node_of;
    std::error_code fault;
    for (const auto &entry : std::filesystem::directory_iterator(root + "/sys/devices/system/node", fault)) {
        std::string name = entry.path().filename().string();
        long long node = 0;
        if (name.compare(0, 4, "node") != 0 || !whole_number(name.substr(4), cpu_number_limit - 1, &node))
            continue;
        for (int c : parse_cpu_list(read_text(entry.path().string() + "/cpulist")))
            node_of[c] = (int)node;
    }

    std::vector<int> order;
    take_by_node(firsts, node_of, &order);
    take_by_node(seconds, node_of, &order);
    p.cpus.assign(order.begin(), order.begin() + threads);

    double quota = cpu_quota(root);
    if (quota > 0.0 && quota < (double)threads) {
        char text[200];
        snprintf(text, sizeof text,
                 "the cgroup's CPU quota (cpu.max) allows %.2g CPUs, fewer than the %d threads: they take turns, "
                 "and the figure is the quota's",
                 quota, threads);
        p.warning = text;
    }
    return p;
}

/* ====================== The clock ====================== */

const char *timer_name(Timer timer)
{
    return timer == Timer::counter ? "counter" : "CLOCK_MONOTONIC_RAW";
}

bool invariant_counter(const std::string &cpuinfo)
{
    std::stringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 5, "flags") != 0)
            continue;
        std::stringstream words(line.substr(line.find(':') == std::string::npos ? 0 : line.find(':') + 1));
        std::set<std::string> flags;
        std::string w;
        while (words >> w)
            flags.insert(w);
        return flags.count("constant_tsc") != 0 && flags.count("nonstop_tsc") != 0;
    }
    return false;
}

Timer choose_timer(bool invariant, const std::vector<double> &offsets_ns, double tolerance_ns, std::string *why)
{
    std::string reason;
    if (!invariant) {
        reason = "the counter is not invariant (constant_tsc and nonstop_tsc)";
    } else if (offsets_ns.empty()) {
        reason = "the counters' agreement could not be checked";
    } else {
        auto range = std::minmax_element(offsets_ns.begin(), offsets_ns.end());
        double spread = *range.second - *range.first;
        if (!(spread <= tolerance_ns)) {
            char text[120];
            snprintf(text, sizeof text, "the CPUs' counters differ by %.1f us", spread / 1000.0);
            reason = text;
        }
    }
    if (why != nullptr)
        *why = reason;
    return reason.empty() ? Timer::counter : Timer::monotonic_raw;
}

}  // namespace bandwidth
