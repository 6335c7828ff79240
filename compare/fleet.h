// SPDX-License-Identifier: MIT
/*
 * fleet.h -- memsweep-compare --fleet's judgement: many hosts' records,
 * grouped by what makes machines alike, each host's memory figures held
 * against its group's.  Pure functions of records as format/reader.h reads
 * them; nothing is measured or printed here.
 *
 * A host's memory figures: its table's memory rows (the cells of the rows
 * whose working set is beyond the largest cache, label 14's where the caches
 * are unknown) as one geometric mean; each of the plane's kernels at each
 * thread count, the median over its working sets beyond the largest cache
 * (all threads' bytes together; its largest working set where none is);
 * and the latency at the largest size.  Each is held against the group by
 * a robust z from the group's median and 1.4826 times its median absolute
 * deviation: an outlier where |z| is above z_limit and the figure lies more
 * than the threshold from the median.  A host's verdict stands on its
 * bandwidth figures together, the median of their distances from the
 * group's, judged by the same rule against the other hosts' medians (a
 * missing channel slows them all; one noisy figure moves alone), and on
 * its latency as a figure of its own.
 */
#ifndef MEMSWEEP_COMPARE_FLEET_H
#define MEMSWEEP_COMPARE_FLEET_H

#include <string>
#include <vector>

#include "format/model.h"

namespace compare {

/* |z| above this is an outlier (with the distance past the threshold). */
const double z_limit = 3.5;
/* The least distance from the group's median that counts, by default. */
const double fleet_threshold = 0.05;
/* Groups of fewer hosts are judged unknown: a median and a MAD of fewer
 * say little of what is usual. */
const int least_fleet = 5;

/* One host's record, by the name it goes by: its host name, else its file's. */
struct Member {
    std::string host;
    std::string file;
    format::Record record;
};

/* What makes machines alike: the CPU, the logical CPUs, the NUMA nodes
 * (one where the firmware interleaves the sockets' memory, more where it
 * doesn't), the memory's kind
 * (its devices' type and rated speed, as "DDR5-5600": not their number or
 * size, nor the speed they are set to, so that a host with a DIMM missing
 * or set slower is judged among its fleet), the page mode and the plane's
 * instruction sets. */
struct Identity {
    std::string model, pages, isa, memory;
    int cpus = 0;
    int nodes = 0; /* NUMA nodes; 0 unknown */
    bool operator<(const Identity &o) const;
    /* text names it in a line: "Made-up CPU, 2 CPUs, 1 NUMA node, memory
     * DDR5-5600, pages system, avx2". */
    std::string text() const;
};

Identity identity_of(const format::Record &r);

/* One memory figure of a host against its group. */
struct FleetFigure {
    std::string what;     /* "vector-read 2 threads", "memory rows", "memory latency" */
    bool lower_is_slower; /* bandwidth; latency is the other way */
    double value = 0.0, median = 0.0, mad = 0.0;
    double z = 0.0;        /* (value - median) / (1.4826 MAD); infinite where MAD is 0 and value is not the median */
    double distance = 0.0; /* (value - median) / median */
    bool outlier = false;
};

enum class FleetVerdict { slower, faster, same, unknown };
const char *fleet_verdict_name(FleetVerdict v);

struct HostVerdict {
    std::string host, file;
    FleetVerdict verdict = FleetVerdict::unknown;
    std::vector<FleetFigure> figures;
    double bandwidth_distance = 0.0; /* the median of the bandwidth figures' distances */
    double bandwidth_z = 0.0;        /* that median's robust z among the group's hosts */
    /* line is the host's line: "host-07 slower: vector-read 2 threads 12 %
     * below the fleet (its memory bandwidth by a median of 12 %)", "host-01
     * same", "host-03 unknown: ...". */
    std::string line;
};

struct FleetGroup {
    Identity identity;
    std::vector<HostVerdict> hosts;
    bool judged = false;
    std::string why; /* why the group is unknown; "" where judged */
};

/* judge_fleet groups the members and judges each group of least_fleet
 * hosts or more; threshold is the least relative distance that counts. */
std::vector<FleetGroup> judge_fleet(const std::vector<Member> &members, double threshold);

/* memory_figures returns a record's memory figures by name, in a fixed
 * order (the rows, the plane's by kernel and threads, the latency); a
 * figure the record lacks is left out. */
std::vector<std::pair<std::string, double>> memory_figures(const format::Record &r);

}  // namespace compare

#endif /* MEMSWEEP_COMPARE_FLEET_H */
