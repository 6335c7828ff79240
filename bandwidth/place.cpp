// SPDX-License-Identifier: MIT
/*
 * place.cpp -- the choices around the team, from what the machine's files
 * say below a root folder: the working sets, the CPUs and their order, the
 * cgroup's quota, and which clock times a point.  Nothing here measures.
 */
#include "bandwidth/bandwidth.h"

#include "common/memory.h"
#include "common/text.h"

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

/* ====================== Sizes ====================== */

std::vector<uint64_t> sizes(uint64_t largest_cache, int threads, double room)
{
    uint64_t n = threads > 0 ? (uint64_t)threads : 1;
    uint64_t top = memsweep::largest_set_for(largest_cache / n, room < 0.0 ? room : room / (double)n);
    std::vector<uint64_t> list;
    for (uint64_t s = memsweep::smallest_set; s <= top; s *= 2)
        list.push_back(s);
    return list;
}

/* ====================== CPUs ====================== */

std::vector<int> parse_cpu_list(const std::string &text)
{
    std::vector<int> cpus;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        part.erase(part.find_last_not_of(" \n\t") + 1);
        int from = 0, to = 0, used = 0;
        if (sscanf(part.c_str(), "%d-%d%n", &from, &to, &used) == 2 && (size_t)used == part.size()) {
        } else if (sscanf(part.c_str(), "%d%n", &from, &used) == 1 && (size_t)used == part.size()) {
            to = from;
        } else {
            return {};
        }
        if (from < 0 || to < from || to - from > 1 << 20)
            return {};
        for (int c = from; c <= to; c++)
            cpus.push_back(c);
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
                  memsweep::count_text(allowed.size(), "CPU");
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
        int node = 0, used = 0;
        if (sscanf(name.c_str(), "node%d%n", &node, &used) != 1 || (size_t)used != name.size())
            continue;
        for (int c : parse_cpu_list(read_text(entry.path().string() + "/cpulist")))
            node_of[c] = node;
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
