// SPDX-License-Identifier: MIT
/*
 * plane.h -- a session's bandwidth plane: its thread counts and their CPUs,
 * settled before anything is measured, and then its kernels, its clock and
 * the teams of pinned threads (bandwidth/) that measure its points, one at
 * a time, as the passes ask.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_PLANE_H
#define MEMSWEEP_RECORD_PLANE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "bandwidth/bandwidth.h"
#include "machine/machine.h"
#include "record/passes.h"

namespace record {

using machine::Pages;

/* default_thread_counts returns 1, 2, 4 ... up to cpus, and cpus itself. */
std::vector<int> default_thread_counts(int cpus);

/* The plane's thread counts, ascending and each once, with each count's
 * CPUs; or why the counts asked can't be had (a usage error). */
struct PlaneSetup {
    std::vector<int> counts;
    std::vector<std::vector<int>> cpus;
    std::string warning; /* the cgroup's quota below the most threads, or "" */
    std::string error;
};

/* place_plane settles the counts asked (none: the default, up to the
 * allowed CPUs and the cgroup's CPU quota, whole CPUs; all_cpus: as many
 * as the allowed CPUs) among the allowed CPUs, with root's sysfs and
 * cgroups ("" for this machine's): an error where a count is beyond them. */
PlaneSetup place_plane(const std::string &root, const std::vector<int> &allowed, const std::vector<int> &asked);

/* A plane ready to measure: its points, kernel by kernel in the order of
 * bandwidth::all_kernels, then by thread count, then by working set; and
 * the teams that measure them, one per thread count, kept for the session. */
class Plane {
public:
    std::vector<PlanePoint> points;
    PlaneFacts facts;
    std::string error; /* why there is no plane (a thread not pinned ...), or "" */

    /* measure measures points[i] once, as Plan::measure_plane. */
    double measure(size_t i, std::string *why);

private:
    friend std::unique_ptr<Plane> open_plane(const PlaneSetup &setup, uint64_t largest_cache, double room,
                                             uint64_t upto, Pages pages, double mhz, const std::string &cpuinfo);
    std::vector<std::unique_ptr<bandwidth::Team>> teams_;
    std::vector<bw_kernel_fn> fns_;
    std::vector<size_t> team_of_;
};

/* open_plane chooses the kernels (a kernel the processor can't run is left
 * out, with a note), the clock (the counter where /proc/cpuinfo's text says
 * it is invariant and all the most threads' CPUs agree on it, else
 * CLOCK_MONOTONIC_RAW) and starts one team per thread count, each thread
 * pinned to its CPU.  Each count's working sets are bandwidth::sizes of
 * the largest cache, with room (bytes, the plane's share of
 * memsweep::memory_room; negative: unknown) shared evenly among the teams,
 * and none beyond upto bytes where that is not 0.  The threads' memory gets
 * the session's pages; mhz is the counter's rate.  A team that can't start
 * sets error. */
std::unique_ptr<Plane> open_plane(const PlaneSetup &setup, uint64_t largest_cache, double room, uint64_t upto,
                                  Pages pages, double mhz, const std::string &cpuinfo);

}  // namespace record

#endif /* MEMSWEEP_RECORD_PLANE_H */
