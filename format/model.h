// SPDX-License-Identifier: MIT
/*
 * model.h -- what a record holds, as plain structs: memsweep-record's
 * session fills one and the writer writes it; the reader reads a record (or
 * memsweep's table) back into one, and memsweep-compare and memsweep-plot
 * judge and draw it.  Every point keeps its passes' figures.
 */
#ifndef MEMSWEEP_FORMAT_MODEL_H
#define MEMSWEEP_FORMAT_MODEL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "format/schema.h"

namespace format
{

/* One point's figures: every pass's, in the order the passes ran, and their
 * median (the mean of the middle two for an even count), minimum and
 * maximum, computed from the passes themselves (figures_of). */
struct Figures {
    std::vector<double> passes;
    double median = 0.0, min = 0.0, max = 0.0;
};

/* figures_of returns passes with their median, minimum and maximum. */
Figures figures_of(std::vector<double> passes);

/* A throughput cell: memsweep's label (2^(label + 13) bytes) and stride, in
 * GB/s. */
struct CellPoint {
    int label = 0, stride = 0;
    Figures gbs;
};

/* A latency working set, in nanoseconds per load. */
struct LatencyPoint {
    uint64_t bytes = 0;
    Figures ns;
};

/* A point of the bandwidth plane: a kernel ("vector-read", "copy" ...), the
 * instruction set it ran with, its threads and its working set per thread,
 * in GB/s. */
struct BandwidthPoint {
    std::string kernel, isa;
    int threads = 0;
    uint64_t bytes = 0;
    Figures gbs;
};

/* A point of the loaded latency: the chase's nanoseconds per load while
 * the other CPUs ran a kernel ("vector-read", "copy") with a delay of
 * counter cycles between blocks, and the loaders' GB/s, every pass's and
 * their median.  The idle point, no load at all, has the kernel "", the
 * delay idle_delay, load 0 and no load passes. */
struct LoadedLatencyPoint {
    std::string kernel;
    uint64_t delay = idle_delay;
    double load_gbs = 0.0;
    std::vector<double> load_passes;
    Figures ns;
};

/* One reading of the drift watch, `seconds` into the session. */
struct DriftReading {
    double seconds = 0.0, gbs = 0.0;
};

/* A data or unified cache of cpu0, as "L1d" or "L2", and its size. */
struct CacheSize {
    std::string name;
    uint64_t bytes = 0;
};

/* What the bandwidth plane ran with: the clock that timed it ("counter" or
 * "CLOCK_MONOTONIC_RAW"; "" where it never started) and why not the
 * counter, the thread counts and each count's CPUs, the kernels left out,
 * and why it ended before the passes did ("" where it didn't). */
struct PlaneInfo {
    std::string timer, timer_note;
    std::vector<int> threads;
    std::vector<std::vector<int>> cpus;
    std::vector<std::string> notes;
    std::string ended;
};

/* The memory's rated peak as the checks found it before the session
 * (memsweep-check's memory line): negative where unknown, with why. */
struct RatedPeak {
    double gbs = -1.0;
    std::string source;  /* "udev", "SMBIOS", "EDAC"; "" where unknown */
    std::string unknown; /* why it is unknown; "" where known */
    std::string kind;    /* the devices' type and rated speed, as "DDR5-5600"; "" where unknown */
};

/* What the plane read of the memory: its best read (scalar-read or
 * vector-read, by median) at its most threads over the working sets beyond
 * the largest cache, all threads' together; where none is beyond it (the
 * caches unknown, or the plane ended below them), over that count's
 * largest working set, and beyond_caches false.  kernel "" where the plane
 * has no read. */
struct MemoryRead {
    std::string kernel, isa;
    int threads = 0;
    uint64_t bytes = 0; /* per thread */
    double gbs = 0.0;
    bool beyond_caches = false;
};

/* What a record or a table holds.  A table (is_table) has its cells alone,
 * one pass each, and none of the identity: every text is "", every number
 * 0 or negative where the comment says "negative: unknown". */
struct Record {
    bool is_table = false;
    int passes = 0;                        /* the record's passes; 1 for a table */
    std::string version;                   /* memsweep's version */
    std::vector<std::string> command;      /* the command line, word by word */
    std::string start, end;                /* UTC, as 2026-12-08T13:44:15Z */
    double seconds = 0.0;                  /* the whole command's wall time */
    uint64_t seed = 0;
    int cpu = -1;                          /* the CPU the session ran on */
    std::string model;                     /* the CPU's model name; "" unknown */
    int cpus = 0;                          /* logical CPUs */
    int numa_nodes = 0;                    /* NUMA nodes online; 0 unknown */
    double memory_mib = -1.0;              /* MemTotal; negative: unknown */
    std::string pages;                     /* "system", "small" or "huge"; "" for a table */
    double huge_share = 0.0;               /* of memsweep's array, before the passes */
    bool fresh_pages = false;              /* new physical pages before every pass */
    double huge_share_after = -1.0;        /* after them; negative: not read */
    double latency_huge_share = -1.0;      /* negative: no latency buffer */
    double cpu_mhz = 0.0, counter_mhz = 0.0, factor = 0.0, counter_step = 0.0;
    /* The checks' reports before and after, as memsweep-check --json prints
     * them (JSON text; "" where there is none); and what the reader takes
     * of the first: the governors ("performance on 2"), the turbo switch
     * and cpu0's caches. */
    std::string checks_before, checks_after;
    std::string governors, turbo;
    std::vector<CacheSize> caches;
    double other_work_cpus = -1.0;         /* over the session; negative: unknown */
    double cpu_mhz_after = 0.0, counter_mhz_after = 0.0;
    std::vector<std::string> warnings;
    std::vector<DriftReading> drift;
    std::vector<double> largest_row_by_pass;
    std::vector<CellPoint> cells;          /* in the order measured, memsweep's */
    double latency_seconds = 0.0;
    std::vector<LatencyPoint> latency;     /* by size, ascending */
    bool has_plane = false;                /* the plane was asked for */
    PlaneInfo plane;
    bool has_bandwidth = false;            /* the record has a bandwidth list */
    double bandwidth_seconds = 0.0;
    std::vector<BandwidthPoint> bandwidth;
    double loaded_seconds = 0.0, loaded_probe_seconds = 0.0;
    std::vector<LoadedLatencyPoint> loaded; /* the idle point first; none in older records */
    std::string host;                      /* the machine's host name; "" unknown (older records) */
    std::vector<int> throttled_passes;     /* the passes (from 1) the cgroup's quota throttled */
    RatedPeak rated;                       /* unknown in older records */
};

/* largest_cache is the largest of the record's caches, in bytes; 0 where
 * none is known. */
uint64_t largest_cache(const Record &r);

/* One kernel at one thread count of the plane, at the memory: the median
 * over its working sets beyond the largest cache (all threads' bytes
 * together), else over its largest working set's, and beyond_caches
 * false.  The fleet and the metrics stand on these. */
struct PlaneMemory {
    std::string kernel, isa;
    int threads = 0;
    double gbs = 0.0;
    bool beyond_caches = false;
};

/* plane_memory returns each kernel's and thread count's PlaneMemory, in the
 * plane's order. */
std::vector<PlaneMemory> plane_memory(const Record &r);

/* memory_read is the plane's memory figure (MemoryRead) of a record; the
 * rated-peak share, the fleet's verdict and the metrics stand on it. */
MemoryRead memory_read(const Record &r);

/* bandwidth_isa is the record's bandwidth plane's instruction sets: the
 * distinct isa members of its points, sorted, joined by ","; "" without a
 * plane. */
std::string bandwidth_isa(const Record &r);

/* drift_median is the median of the drift watch's readings; 0.0 for none. */
double drift_median(const Record &r);

}  // namespace format

#endif /* MEMSWEEP_FORMAT_MODEL_H */
