// SPDX-License-Identifier: MIT
/*
 * plane.cpp -- the bandwidth plane's counts, CPUs, kernels, clock and
 * teams (plane.h).
 */
#include "record/plane.h"

#include <algorithm>
#include <cmath>

#include "clock/tsc.h"
#include "common/memory.h"
#include "record/options.h"

namespace record {

using machine::advise_pages;

std::vector<int> default_thread_counts(int cpus)
{
    std::vector<int> counts;
    for (int n = 1; n < cpus; n *= 2)
        counts.push_back(n);
    if (cpus >= 1)
        counts.push_back(cpus);
    return counts;
}

PlaneSetup place_plane(const std::string &root, const std::vector<int> &allowed, const std::vector<int> &asked)
{
    PlaneSetup setup;
    int most = (int)allowed.size();
    /* By default the cgroup's quota ends the counts too (a pod's cpu.max):
     * more threads than it pays for would be throttled.  Counts asked for
     * are taken as asked, with place's warning. */
    double quota = bandwidth::cpu_quota(root);
    int paid = quota > 0.0 ? std::max(1, (int)std::floor(quota + 1e-9)) : most;
    setup.counts = asked.empty() ? default_thread_counts(std::min(most, paid)) : asked;
    std::replace(setup.counts.begin(), setup.counts.end(), all_cpus, most);
    std::sort(setup.counts.begin(), setup.counts.end());
    setup.counts.erase(std::unique(setup.counts.begin(), setup.counts.end()), setup.counts.end());
    for (int n : setup.counts) {
        bandwidth::Placement p = bandwidth::place(root, allowed, n);
        if (!p.error.empty()) {
            setup.error = "--threads " + std::to_string(n) + ": " + p.error;
            return setup;
        }
        setup.cpus.push_back(p.cpus);
        setup.warning = p.warning;
    }
    return setup;
}

double Plane::measure(size_t i, std::string *why)
{
    bandwidth::Point p = teams_[team_of_[i]]->measure(fns_[i], points[i].bytes);
    *why = p.error;
    return p.gbs;
}

std::unique_ptr<Plane> open_plane(const PlaneSetup &setup, uint64_t largest_cache, double room, uint64_t upto,
                                  Pages pages, double mhz, const std::string &cpuinfo)
{
    auto plane = std::make_unique<Plane>();
    PlaneFacts &f = plane->facts;
    f.threads = setup.counts;
    f.cpus = setup.cpus;
    if (setup.counts.empty())
        return plane;

    bandwidth::Machine machine;
    machine.pin = machine::pin;
    machine.map = machine::map_buffer;
    machine.unmap = machine::unmap_buffer;
    machine.advise = [pages](void *p, size_t n) { return advise_pages(p, n, pages); };

    /* The clock: the counter, where every CPU of the most threads reads it
     * in agreement with the system's time. */
    bandwidth::Timer timer;
    {
        bandwidth::Team probe(setup.cpus.back(), machine, bandwidth::Timer::counter, mhz);
        if (!probe.error().empty()) {
            plane->error = probe.error();
            return plane;
        }
        timer = bandwidth::choose_timer(bandwidth::invariant_counter(cpuinfo, counter_stated_mhz()), probe.counter_offsets(),
                                        bandwidth::counter_tolerance_ns, &f.timer_note);
    }
    f.timer = bandwidth::timer_name(timer);

    std::vector<bandwidth::Choice> kernels;
    for (const bandwidth::Choice &c : bandwidth::choose_all()) {
        if (c.fn != nullptr)
            kernels.push_back(c);
        else
            f.notes.push_back(c.note);
    }

    /* The teams keep their buffers for the session: the room is theirs
     * together. */
    double share = room < 0.0 ? room : room / (double)setup.counts.size();
    for (size_t t = 0; t < setup.counts.size(); t++) {
        plane->teams_.push_back(std::make_unique<bandwidth::Team>(setup.cpus[t], machine, timer, mhz));
        if (!plane->teams_.back()->error().empty()) {
            plane->error = plane->teams_.back()->error();
            plane->teams_.clear();
            return plane;
        }
    }
    for (const bandwidth::Choice &c : kernels)
        for (size_t t = 0; t < setup.counts.size(); t++)
            for (uint64_t bytes : bandwidth::sizes(largest_cache, setup.counts[t], share)) {
                if (upto != 0 && bytes > upto)
                    break;
                plane->points.push_back({bandwidth::kernel_name(c.kernel), c.isa.empty() ? "scalar" : c.isa,
                                         setup.counts[t], bytes});
                plane->fns_.push_back(c.fn);
                plane->team_of_.push_back(t);
            }
    return plane;
}

}  // namespace record
