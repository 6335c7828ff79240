// SPDX-License-Identifier: MIT
/*
 * reader.h -- the record's reader, beside its writer (record.cpp): a
 * memsweep-record JSON record (format "memsweep-record", version 1, as
 * memsweep-record(1) documents it), or a plain table as memsweep and
 * memsweep-record print it, read into plain structs.  Programs that judge
 * or draw records (memsweep-compare) read them through this one reader and
 * nothing else.
 *
 * The reader trusts nothing in its text: a truncated file, JSON that is no
 * record, a record of another version, numbers that are no figures, lists
 * that don't match, nesting deeper than a record's, more objects than any
 * record holds and files larger than any record are refused with one line
 * that says why.  Text taken from a
 * record (the CPU model, warnings, kernels' names) is kept as it is; a
 * program that prints it scrubs it (one_line).
 */
#ifndef MEMSWEEP_RECORD_READER_H
#define MEMSWEEP_RECORD_READER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace record
{

/* One point's figures: every pass's, in the order the passes ran, and their
 * median (the mean of the middle two for an even count), minimum and
 * maximum, computed from the passes themselves. */
struct Figures {
    std::vector<double> passes;
    double median = 0.0, min = 0.0, max = 0.0;
};

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
 * counter cycles between blocks, and the loaders' GB/s (their median over
 * the passes).  The idle point, no load at all, has the kernel "" and the
 * delay loaded_idle, and load 0. */
const uint64_t loaded_idle = UINT64_MAX;
struct LoadedLatencyPoint {
    std::string kernel;
    uint64_t delay = loaded_idle;
    double load_gbs = 0.0;
    Figures ns;
};

/* One reading of the drift watch. */
struct DriftReading {
    double seconds = 0.0, gbs = 0.0;
};

/* A data or unified cache of cpu0, as "L1d" or "L2", and its size. */
struct CacheSize {
    std::string name;
    uint64_t bytes = 0;
};

/* What a record or a table holds.  A table (is_table) has its cells alone,
 * one pass each, and none of the identity: every text is "", every number
 * 0 or negative where the comment says "negative: unknown". */
struct Record {
    bool is_table = false;
    int passes = 0;                  /* the record's passes; 1 for a table */
    std::string version, start, end; /* memsweep's version; UTC times */
    int cpu = -1;
    std::string model; /* the CPU's model name; "" unknown */
    int cpus = 0;
    double memory_mib = -1.0; /* negative: unknown */
    std::string pages;        /* "system", "small" or "huge"; "" for a table */
    double huge_share = 0.0;
    bool fresh_pages = false;         /* new physical pages before every pass */
    double latency_huge_share = -1.0; /* negative: no latency buffer */
    double counter_mhz = 0.0, cpu_mhz = 0.0, factor = 0.0, counter_step = 0.0;
    std::string governors; /* "performance on 2", from the checks before; "" none */
    std::string turbo;     /* the checks' turbo switch; "" none */
    std::vector<CacheSize> caches;
    std::vector<std::string> warnings;
    std::vector<DriftReading> drift;
    std::vector<CellPoint> cells; /* in the file's order */
    std::vector<LatencyPoint> latency;
    bool has_bandwidth = false; /* the record has a bandwidth list */
    std::vector<BandwidthPoint> bandwidth;
    std::vector<LoadedLatencyPoint> loaded; /* the idle point first; none in older records */
};

/* The largest file the reader takes, in bytes: a record of 100 passes with
 * its checks is well under a tenth of this. */
extern const size_t max_record_bytes;
/* The most passes a point may have: memsweep-record's own limit. */
extern const int max_passes;

/* read_record reads a record's JSON text into *r; false with *error set to
 * one line (without a file name) when it is not one. */
bool read_record(const std::string &text, Record *r, std::string *error);

/* read_table reads memsweep's or memsweep-record's table: lines of label,
 * stride and GB/s, empty lines skipped.  False with *error set when it is
 * not one. */
bool read_table(const std::string &text, Record *r, std::string *error);

/* read_input reads either, told apart by the first character other than a
 * blank: "{" or "[" is JSON, anything else a table.  A UTF-8 byte order
 * mark before it is skipped. */
bool read_input(const std::string &text, Record *r, std::string *error);

/* read_file reads a file ("-": standard input) of at most max_record_bytes
 * and then read_input's it; *error names the problem without the name: a
 * folder, or a standard input that is closed, is said to be one. */
bool read_file(const std::string &path, Record *r, std::string *error);

/* bandwidth_isa is the record's bandwidth plane's instruction sets: the
 * distinct isa members of its points, sorted, joined by ","; "" without a
 * plane. */
std::string bandwidth_isa(const Record &r);

/* drift_median is the median of the drift watch's readings; 0.0 for none. */
double drift_median(const Record &r);

/* figures_of returns passes with their median, minimum and maximum. */
Figures figures_of(std::vector<double> passes);

/* one_line makes text fit for one line of a terminal or a tab-separated
 * file, as common/shown.h's shown_line does: C0 controls (tab and newline
 * among them), DEL, the C1 controls and bytes that are not well-formed
 * UTF-8 become '?'. */
std::string one_line(const std::string &text);

}  // namespace record

#endif /* MEMSWEEP_RECORD_READER_H */
