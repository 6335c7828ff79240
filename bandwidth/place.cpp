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
#include <set>
#include <sstream>

#include "common/files.h"

namespace bandwidth {

/* read_text returns the whole file at path; "" when it can't be read. */
static std::string read_text(const std::string &path)
{
    return memsweep::file_text(path);
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

using memsweep::whole_number;
using memsweep::number_list;

/* quota_of returns a quota over its period, each a word of digits, as
 * CPUs; 0 for none ("max" in version 2, "-1" in version 1) or for words
 * that are no such numbers. */
static double quota_of(const std::string &quota, const std::string &period)
{
    const long long most = 1000000000LL * memsweep::list_number_limit; /* microseconds */
    long long q = 0;
    long long p = 0;
    if (!whole_number(quota, most, &q) || !whole_number(period, most, &p) || q <= 0 || p <= 0)
        return 0.0;
    return (double)q / (double)p;
}

/* first_word returns the first word of the file at path; "" for none. */
static std::string first_word(const std::string &path)
{
    std::istringstream words(read_text(path));
    std::string word;
    words >> word;
    return word;
}

/* v2_quota reads the cpu.max of a folder, "max 100000" or "150000 100000". */
static double v2_quota(const std::string &folder)
{
    std::istringstream words(read_text(folder + "/cpu.max"));
    std::string quota;
    std::string period;
    std::string more;
    if (!(words >> quota >> period) || (words >> more))
        return 0.0;
    return quota_of(quota, period);
}

/* v1_quota reads the cpu.cfs_quota_us and cpu.cfs_period_us of a folder. */
static double v1_quota(const std::string &folder)
{
    return quota_of(first_word(folder + "/cpu.cfs_quota_us"), first_word(folder + "/cpu.cfs_period_us"));
}

/* least_along keeps in *least the smallest quota of top + path and of each
 * folder above it up to top itself, as quota_in reads a folder's; file
 * names the file of that version. */
static void least_along(const std::string &top, std::string path, double (*quota_in)(const std::string &),
                        const char *file, Quota *least)
{
    for (;;) {
        double q = quota_in(top + path);
        if (q > 0.0 && (least->cpus == 0.0 || q < least->cpus)) {
            least->cpus = q;
            least->file = file;
        }
        if (path.empty() || path == "/")
            break;
        path.erase(path.find_last_of('/'));
    }
}

/* has_cpu tells whether a version 1 hierarchy's controllers, as
 * "cpu,cpuacct", include cpu. */
static bool has_cpu(const std::string &controllers)
{
    std::istringstream names(controllers);
    std::string name;
    while (std::getline(names, name, ','))
        if (name == "cpu")
            return true;
    return false;
}

/* A cgroup of the process that may hold its CPU controller: the folder
 * its hierarchy is mounted at, its path there, and whether it is version
 * 2's. */
struct CpuCgroup {
    std::string mount, path;
    bool v2;
};

/* cpu_cgroups reads root/proc/self/cgroup.  Version 2's line is "0::/path";
 * version 1's are "N:controllers:/path", the cpu controller's among them,
 * as "4:cpu,cpuacct:/path", its hierarchy mounted by its controllers'
 * names, with cpu and cpu,cpuacct often links to one another.  A path that
 * climbs out (..) or is not absolute is left out. */
static std::vector<CpuCgroup> cpu_cgroups(const std::string &root)
{
    std::vector<CpuCgroup> out;
    std::stringstream lines(read_text(root + "/proc/self/cgroup"));
    std::string line;
    const std::string top = root + "/sys/fs/cgroup";
    while (std::getline(lines, line)) {
        size_t first = line.find(':');
        size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (path.find("..") != std::string::npos || (!path.empty() && path[0] != '/'))
            continue;
        if (line.compare(0, 3, "0::") == 0) {
            out.push_back({top, path, true});
        } else if (has_cpu(controllers) && controllers.find('/') == std::string::npos) {
            for (const std::string &name : {controllers, std::string("cpu"), std::string("cpu,cpuacct")}) {
                std::string mount = top;
                mount.append("/").append(name);
                std::error_code fault;
                if (std::filesystem::is_directory(mount, fault)) {
                    out.push_back({mount, path, false});
                    break;
                }
            }
        }
    }
    return out;
}

Quota cgroup_quota(const std::string &root)
{
    Quota least;
    for (const CpuCgroup &c : cpu_cgroups(root)) {
        if (c.v2)
            least_along(c.mount, c.path, v2_quota, "cpu.max", &least);
        else
            least_along(c.mount, c.path, v1_quota, "cpu.cfs_quota_us", &least);
    }
    return least;
}

double cpu_quota(const std::string &root)
{
    return cgroup_quota(root).cpus;
}

/* nr_throttled reads a cpu.stat's nr_throttled line; -1 where there is none. */
static long long nr_throttled(const std::string &folder)
{
    std::istringstream lines(read_text(folder + "/cpu.stat"));
    std::string name;
    std::string value;
    long long n = -1;
    while (lines >> name >> value)
        if (name == "nr_throttled" && whole_number(value, (long long)1 << 62, &n))
            return n;
    return -1;
}

long long throttled_periods(const std::string &root)
{
    long long total = -1;
    for (const CpuCgroup &c : cpu_cgroups(root)) {
        std::string path = c.path;
        for (;;) {
            std::string folder = c.mount;
            long long n = nr_throttled(folder.append(path));
            if (n >= 0)
                total = (total < 0 ? 0 : total) + n;
            if (path.empty() || path == "/")
                break;
            path.erase(path.find_last_of('/'));
        }
    }
    return total;
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
    std::vector<int> firsts;
    std::vector<int> seconds;
    for (int c : may) {
        std::vector<int> siblings =
            number_list(read_text(cpu_dir + std::to_string(c) + "/topology/thread_siblings_list"));
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
        if (name.compare(0, 4, "node") != 0 || !whole_number(name.substr(4), memsweep::list_number_limit - 1, &node))
            continue;
        for (int c : number_list(read_text(entry.path().string() + "/cpulist")))
            node_of[c] = (int)node;
    }

    std::vector<int> order;
    take_by_node(firsts, node_of, &order);
    take_by_node(seconds, node_of, &order);
    p.cpus.assign(order.begin(), order.begin() + threads);

    Quota quota = cgroup_quota(root);
    if (quota.cpus > 0.0 && quota.cpus < (double)threads) {
        char text[200];
        snprintf(text, sizeof text,
                 "the cgroup's CPU quota (%s) allows %.2g CPU%s, fewer than the %d threads: they take turns, "
                 "and the figure is the quota's",
                 quota.file.c_str(), quota.cpus, quota.cpus == 1.0 ? "" : "s", threads);
        p.warning = text;
    }
    return p;
}

/* ====================== The clock ====================== */

const char *timer_name(Timer timer)
{
    return timer == Timer::counter ? "counter" : "CLOCK_MONOTONIC_RAW";
}

bool invariant_counter(const std::string &cpuinfo, double stated_mhz)
{
    if (stated_mhz > 0.0)
        return true;
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
