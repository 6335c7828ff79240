// SPDX-License-Identifier: MIT
/*
 * report.h -- what a memsweep-record session says: its warnings, judged
 * from what was measured; the table of best passes in memsweep's layout; the
 * latency's medians; and the summary line.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_REPORT_H
#define MEMSWEEP_RECORD_REPORT_H

#include <stddef.h>

#include <string>
#include <vector>

#include "check/checks.h"
#include "latency/latency.h"
#include "latency/loaded.h"
#include "record/session.h"

namespace record {

using latency::LatencyFigure;
using latency::LoadedSeries;

/* Limits beyond which a session warns. */
extern const double drift_limit;     /* the watch's range over its median: 5 % */
extern const double counter_limit;   /* the counter's rate's move: 10 ppm */
extern const double huge_share_limit; /* the huge page share's move: 1 % of the array */

/* check_warnings returns a sentence for each check that warns, as
 * "before the session: <name>: <figures> -- <note>".  The clock rate's factor is left out: the record's figures are
 * converted with the counter's own rate, whatever the "cpu MHz" line says;
 * a line that moved is kept, as the cores then change speed. */
std::vector<std::string> check_warnings(const std::vector<checks::Check> &results, const std::string &when);

/* session_warnings judges what the session itself measured: huge pages
 * asked for and none obtained (for the array or the latency's buffer), a
 * huge page share of the array that moved by more than huge_share_limit
 * over the passes, a
 * drift watch or a largest row (row_by_pass) that moved by more than
 * drift_limit, other work above the checks' limit, a "cpu MHz" line or a counter's rate that moved by more
 * than their limits, and cells whose timed call lasts so few of the
 * counter's steps that one step moves their figure by more than 5 %. */
std::vector<std::string> session_warnings(const Session &s);

/* best_table returns every cell's best pass (its highest GB/s) in
 * memsweep's layout: one empty line, then one line "label<TAB>stride<TAB>GB/s"
 * per cell in memsweep's order, with one decimal.  Other work on a shared
 * machine only slows a read down, so the best pass is the steadier figure of
 * what the machine can do: two sessions' best passes agreed per cell by 2.3 %
 * at the median and 13 % at the 90th percentile where their medians agreed by
 * 5.2 % and 26 %. */
std::string best_table(const Passes &passes);

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
 * the counter's rate in MHz and its step in cycles; a call of fewer than
 * in_row_below cycles was timed over calls in a row (sweep.h's run), and
 * is not coarse. */
std::vector<int> coarse_cells(const Passes &passes, double counter_mhz, double counter_step, double in_row_below);

/* spread_share is a cell's spread over its passes: (max - min) / median;
 * 0.0 for a median of 0. */
double spread_share(const Spread &s);

/* summary returns one line on the session: passes, CPU, time, clock, pages,
 * the cells' spread, the drift watch, the warnings and where the record is
 * ("" for none). */
std::string summary(const Session &s, const std::string &out);

/* bandwidth_summary returns one line on the bandwidth plane: for each
 * kernel, the median at its largest working set with the fewest threads
 * and with the most, as "bandwidth (memory, avx512): vector-read 25 GB/s
 * on 1 thread, 24 on 2; write ..." ("memory" where every such working set
 * is beyond the largest cache, of largest_cache bytes, 0 where unknown);
 * "" without a plane. */
std::string bandwidth_summary(const Passes &passes, uint64_t largest_cache);

/* memory_summary returns one line on the plane's memory figure
 * (format::memory_read) against the rated peak: "memory: vector-read 45.7
 * GB/s on 2 threads, 85 % of the rated 53.6 GB/s (udev)", or where the peak
 * is unknown, why; "" without a plane's read. */
std::string memory_summary(const format::Record &r);

/* loaded_series returns a session's loaded-latency figures as series, in
 * the order of its points. */
std::vector<LoadedSeries> loaded_series(const Passes &passes);

/* loaded_peak returns the bandwidth plane's vector read at its largest
 * working set and `threads` threads (the loaders' count), the peak the
 * full load is set against; 0 where the plane has no such point. */
double loaded_peak(const Passes &passes, int threads);

/* latency_medians returns every latency size's median over the passes,
 * ascending by size. */
std::vector<LatencyFigure> latency_medians(const Passes &passes);

/* latency_by_size returns the latency sizes' places in passes, ascending by
 * size. */
std::vector<size_t> latency_by_size(const Passes &passes);

}  // namespace record

#endif /* MEMSWEEP_RECORD_REPORT_H */
