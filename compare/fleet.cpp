// SPDX-License-Identifier: MIT
/*
 * fleet.cpp -- hosts grouped by identity and judged by robust z (fleet.h).
 */
#include "compare/fleet.h"

#include <math.h>

#include <algorithm>
#include <iterator>
#include <map>

#include "common/grid.h"
#include "common/stats.h"
#include "common/text.h"

namespace compare {

/* ====================== Identity ====================== */

static std::tuple<std::string, int, int, std::string, std::string, std::string> key(const Identity &i)
{
    return {i.model, i.cpus, i.nodes, i.memory, i.pages, i.isa};
}

bool Identity::operator<(const Identity &o) const
{
    return key(*this) < key(o);
}

std::string Identity::text() const
{
    return (model.empty() ? std::string("an unknown CPU") : model) + ", " +
           memsweep::count_text((uint64_t)cpus, "CPU") + ", " +
           (nodes > 0 ? memsweep::count_text((uint64_t)nodes, "NUMA node") : std::string("NUMA nodes unknown")) +
           ", memory " + (memory.empty() ? "unknown" : memory) +
           ", pages " + (pages.empty() ? std::string("unknown") : pages) + ", " +
           (isa.empty() ? std::string("no plane") : isa);
}

Identity identity_of(const format::Record &r)
{
    Identity i;
    i.model = r.model;
    i.cpus = r.cpus;
    i.nodes = r.numa_nodes;
    i.memory = r.rated.kind;
    i.pages = r.pages;
    i.isa = format::bandwidth_isa(r);
    return i;
}

/* ====================== A host's figures ====================== */

std::vector<std::pair<std::string, double>> memory_figures(const format::Record &r)
{
    std::vector<std::pair<std::string, double>> out;
    const uint64_t largest_cache = format::largest_cache(r);

    /* The memory rows, as one geometric mean of their cells' medians. */
    double log_sum = 0.0;
    int cells = 0;
    for (const format::CellPoint &c : r.cells) {
        uint64_t bytes = memsweep::label_bytes(c.label);
        bool memory = largest_cache > 0 ? bytes > largest_cache : c.label == memsweep::largest_label;
        if (memory && c.gbs.median > 0.0) {
            log_sum += log(c.gbs.median);
            cells++;
        }
    }
    if (cells > 0)
        out.emplace_back("memory rows", exp(log_sum / cells));

    /* Each kernel at each count: the median over its memory sizes. */
    std::vector<format::PlaneMemory> plane = format::plane_memory(r);
    std::transform(plane.begin(), plane.end(), std::back_inserter(out), [](const format::PlaneMemory &p) {
        return std::make_pair(p.kernel + " " + memsweep::count_text((uint64_t)p.threads, "thread"), p.gbs);
    });

    /* The latency at the largest size. */
    if (!r.latency.empty())
        out.emplace_back("memory latency", r.latency.back().ns.median);
    return out;
}

/* ====================== Judging ====================== */

const char *fleet_verdict_name(FleetVerdict v)
{
    switch (v) {
    case FleetVerdict::slower: return "slower";
    case FleetVerdict::faster: return "faster";
    case FleetVerdict::same: return "same";
    case FleetVerdict::unknown: return "unknown";
    }
    return "?";
}

/* median_of is the median of a copy. */
static double median_of(std::vector<double> v)
{
    return memsweep::spread_of(std::move(v)).median;
}

/* robust_z is value's distance from median over 1.4826 times the median
 * absolute deviation: infinite where that is 0 and value is not the median. */
static double robust_z(double value, double median, double mad)
{
    double spread = 1.4826 * mad;
    double off = value - median;
    return spread > 0.0 ? off / spread : off == 0.0 ? 0.0 : copysign(INFINITY, off);
}

/* judge_group judges the hosts of one group of enough hosts. */
static void judge_group(const std::vector<const Member *> &members, double threshold, FleetGroup *g)
{
    std::vector<std::vector<std::pair<std::string, double>>> figures(members.size());
    std::transform(members.begin(), members.end(), figures.begin(),
                   [](const Member *m) { return memory_figures(m->record); });
    /* A figure is judged where every host has it. */
    std::map<std::string, std::vector<double>> values;
    for (const auto &host : figures)
        for (const auto &[what, value] : host)
            values[what].push_back(value);
    std::map<std::string, std::pair<double, double>> centre; /* median, MAD */
    for (auto &[what, list] : values) {
        if (list.size() != members.size())
            continue;
        double median = median_of(list);
        std::vector<double> deviations(list.size());
        std::transform(list.begin(), list.end(), deviations.begin(), [=](double v) { return fabs(v - median); });
        centre[what] = {median, median_of(deviations)};
    }
    /* Each host's figures against the group's. */
    for (size_t h = 0; h < members.size(); h++) {
        HostVerdict v;
        v.host = members[h]->host;
        v.file = members[h]->file;
        for (const auto &[what, value] : figures[h]) {
            auto at = centre.find(what);
            if (at == centre.end())
                continue;
            FleetFigure f;
            f.what = what;
            f.lower_is_slower = what != "memory latency";
            f.value = value;
            f.median = at->second.first;
            f.mad = at->second.second;
            f.z = robust_z(value, f.median, f.mad);
            f.distance = f.median > 0.0 ? (value - f.median) / f.median : 0.0;
            f.outlier = fabs(f.z) > z_limit && fabs(f.distance) > threshold;
            v.figures.push_back(f);
        }
        g->hosts.push_back(v);
    }

    /* The verdict stands on what a host's bandwidth figures say together,
     * the median of their distances from the group's, held against the
     * other hosts' medians by robust z as a figure is: a missing channel
     * slows them all, where one noisy figure moves alone.  The latency is
     * judged as a figure of its own. */
    std::vector<double> scores;
    for (HostVerdict &v : g->hosts) {
        std::vector<double> distances;
        for (const FleetFigure &f : v.figures)
            if (f.lower_is_slower)
                distances.push_back(f.distance);
        v.bandwidth_distance = distances.empty() ? 0.0 : median_of(distances);
        scores.push_back(v.bandwidth_distance);
    }
    double centre_score = median_of(scores);
    std::vector<double> deviations(scores.size());
    std::transform(scores.begin(), scores.end(), deviations.begin(),
                   [=](double v) { return fabs(v - centre_score); });
    double mad_score = median_of(deviations);
    for (HostVerdict &v : g->hosts) {
        double off = v.bandwidth_distance - centre_score;
        v.bandwidth_z = robust_z(v.bandwidth_distance, centre_score, mad_score);
        bool apart = fabs(v.bandwidth_z) > z_limit && fabs(off) > threshold;
        auto latency_at = std::find_if(v.figures.begin(), v.figures.end(),
                                       [](const FleetFigure &f) { return !f.lower_is_slower && f.outlier; });
        const FleetFigure *latency = latency_at == v.figures.end() ? nullptr : &*latency_at;
        bool slow = (apart && off < 0.0) || (latency != nullptr && latency->distance > 0.0);
        bool fast = !slow && ((apart && off > 0.0) || (latency != nullptr && latency->distance < 0.0));
        v.verdict = slow ? FleetVerdict::slower : fast ? FleetVerdict::faster : FleetVerdict::same;
        v.line = v.host + " " + fleet_verdict_name(v.verdict);
        if (v.verdict == FleetVerdict::same)
            continue;
        /* Said by the bandwidth figure nearest the host's median distance,
         * or by the latency where that alone decides. */
        const FleetFigure *said = latency;
        if (apart && (off < 0.0) == slow) {
            const double at = v.bandwidth_distance;
            said = &*std::min_element(v.figures.begin(), v.figures.end(), [at](const FleetFigure &a, const FleetFigure &b) {
                if (a.lower_is_slower != b.lower_is_slower)
                    return a.lower_is_slower;
                return fabs(a.distance - at) < fabs(b.distance - at);
            });
        }
        v.line += ": " + said->what + " " + memsweep::fixed(fabs(said->distance) * 100.0, 0) + " % " +
                  (said->distance < 0.0 ? "below" : "above") + " the fleet";
        if (said->lower_is_slower)
            v.line += " (its memory bandwidth by a median of " + memsweep::fixed(fabs(off) * 100.0, 0) + " %)";
    }
    g->judged = true;
}

std::vector<FleetGroup> judge_fleet(const std::vector<Member> &members, double threshold)
{
    std::map<Identity, std::vector<const Member *>> groups;
    for (const Member &m : members)
        groups[identity_of(m.record)].push_back(&m);
    std::vector<FleetGroup> out;
    for (const auto &[identity, list] : groups) {
        FleetGroup g;
        g.identity = identity;
        if ((int)list.size() < least_fleet) {
            g.why = memsweep::count_text(list.size(), "host") + " of this kind, fewer than " +
                    std::to_string(least_fleet) + ": too few to tell what is usual";
            for (const Member *m : list) {
                HostVerdict v;
                v.host = m->host;
                v.file = m->file;
                v.line = m->host + " unknown: " + g.why;
                g.hosts.push_back(v);
            }
        } else {
            judge_group(list, threshold, &g);
        }
        out.push_back(g);
    }
    return out;
}

}  // namespace compare
