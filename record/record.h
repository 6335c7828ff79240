// SPDX-License-Identifier: MIT
/*
 * record.h -- what a memsweep-record session says: its warnings, judged from
 * what was measured; the median table in memsweep's layout; the latency's
 * medians; and the record,
 * one JSON object whose layout (format "memsweep-record", version 1) is
 * documented in memsweep-record(1).  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_RECORD_H
#define MEMSWEEP_RECORD_RECORD_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/latency.h"
#include "record/session.h"

namespace record {

using json = nlohmann::ordered_json;

/* The record's name and layout version: a reader checks both. */
extern const char format_name[];
extern const int format_version;

/* Limits beyond which a session warns. */
extern const double drift_limit;     /* the watch's range over its median: 5 % */
extern const double counter_limit;   /* the counter's rate's move: 10 ppm */

/* Everything a session found, gathered by memsweep-record's main.  Its
 * implicit destructor is as checks::Check's (checks.h), for the JSON reports
 * it holds. */
// NOLINTNEXTLINE(bugprone-exception-escape)
struct Session {
    std::string version;                /* memsweep's version */
    std::vector<std::string> command;   /* the command line, word by word */
    std::string start, end;             /* UTC, as 2026-12-08T13:44:15Z */
    uint64_t seed = 0;
    int cpu = -1;                       /* the CPU the session ran on */
    Pages pages = Pages::system;
    double huge_share = 0.0;            /* of data, on huge pages */
    double latency_huge_share = -1.0;   /* of the latency's buffer; negative without one */
    double cpu_mhz = 0.0;               /* the "cpu MHz" rate memsweep would use */
    double counter_mhz = 0.0;           /* the counter's measured rate */
    double counter_step = 1.0;          /* the cycles it advances by at a time */
    std::string model;                  /* the CPU's model name; "" if unknown */
    int cpus = 0;                       /* logical CPUs in /proc/stat */
    double memory_mib = -1.0;           /* MemTotal; negative if unknown */
    json checks_before, checks_after;   /* memsweep-check's JSON reports */
    double other_work_cpus = -1.0;      /* over the session; negative if unknown */
    double cpu_mhz_after = 0.0;
    double counter_mhz_after = 0.0;
    std::vector<std::string> warnings;
    Passes passes;
    double seconds = 0.0;               /* the whole command's wall time */
};

/* pages_name is the page mode as the command line and the record spell it. */
const char *pages_name(Pages pages);

/* check_warnings returns a sentence for each check of a memsweep-check
 * JSON report that warns, as "before the session: <name>: <figures> --
 * <note>".  The clock rate's factor is left out: the record's figures are
 * converted with the counter's own rate, whatever the "cpu MHz" line says;
 * a line that moved is kept, as the cores then change speed. */
std::vector<std::string> check_warnings(const json &report, const std::string &when);

/* session_warnings judges what the session itself measured: huge pages
 * asked for and none obtained (for the array or the latency's buffer), a
 * drift watch or a largest row (row_by_pass) that moved by more than
 * drift_limit, other work above the checks' limit, a "cpu MHz" line or a counter's rate that moved by more
 * than their limits, and cells whose timed call lasts so few of the
 * counter's steps that one step moves their figure by more than 5 %. */
std::vector<std::string> session_warnings(const Session &s);

/* median_table returns the medians in memsweep's layout: one empty line,
 * then one line "label<TAB>stride<TAB>GB/s" per cell in memsweep's order,
 * with one decimal. */
std::string median_table(const Passes &passes);

/* row_by_pass returns, for each pass, how fast the largest working set's
 * row (label 14, 128 MiB: memory, unless a cache holds it) read in that
 * pass against its cells' medians: the geometric mean over the row's cells
 * of the pass's figure over the cell's median, 1.0 for a pass as fast as
 * the medians.  The passes run one after another, so this is the memory's
 * speed over the session, which the core-bound drift watch can't see;
 * it costs no measurement of its own. */
std::vector<double> row_by_pass(const Passes &passes);

/* coarse_cells returns the cells (by their place in grid()) whose median
 * figure means a timed call of fewer than 20 of the counter's steps, at
 * the counter's rate in MHz and its step in cycles. */
std::vector<int> coarse_cells(const Passes &passes, double counter_mhz, double counter_step);

/* spread_share is a cell's spread over its passes: (max - min) / median;
 * 0.0 for a median of 0. */
double spread_share(const Spread &s);

/* summary returns one line on the session: passes, CPU, time, clock, pages,
 * the cells' spread, the drift watch, the warnings and where the record is
 * ("" for none). */
std::string summary(const Session &s, const std::string &out);

/* latency_medians returns every latency size's median over the passes,
 * ascending by size. */
std::vector<LatencyFigure> latency_medians(const Passes &passes);

/* record_json returns the whole record. */
json record_json(const Session &s);

}  // namespace record

#endif /* MEMSWEEP_RECORD_RECORD_H */
