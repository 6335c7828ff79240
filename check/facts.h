// SPDX-License-Identifier: MIT
/*
 * facts.h -- what memsweep-check finds out about a machine, and how it says
 * so.  Private to memsweep-check; not installed.
 *
 * Every file is read below a root folder: "" reads this machine's /proc and
 * /sys, and any other folder reads DIR/proc/cpuinfo, DIR/sys/... instead, as
 * tests and users checking files collected elsewhere do.  The counter's rate
 * comes from counter_mhz(), so it is measured for this machine's files only:
 * another machine's clock rate is reported, not judged.
 *
 * A missing, unreadable or garbled file never stops the checks: the check
 * that needs it says what it could not tell, as info or, where memsweep's
 * table is at stake, as a warning.  Text taken from files is shown with its
 * control characters escaped and its length capped.
 */
#ifndef MEMSWEEP_CHECK_FACTS_H
#define MEMSWEEP_CHECK_FACTS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

/* ok: nothing to do; warn: memsweep's table is at stake; info: worth knowing. */
enum class Status { ok, warn, info };

/* One check's outcome. */
struct Check {
    Status status = Status::info;
    std::string key;             /* its key in the JSON report, as "clock_rate" */
    std::string name;            /* its name in the text report, as "clock rate" */
    std::string figures;         /* what was found, in words and numbers */
    std::string note;            /* what it means for the table and what to do; "" if nothing */
    nlohmann::ordered_json data; /* the figures as JSON values, units in the keys */
};

/* Where memsweep's clock rate comes from: the first "cpu MHz" line, or a
 * fallback for no /proc/cpuinfo (2147.483656 MHz) or no usable line (1000). */
enum class Source { line, no_file, no_usable_line };

/* One reading of the clock rate by memsweep's rule, in MHz. */
struct Rate {
    Source source;
    double mhz;
};

/* memsweep_rate reads the clock rate from the cpuinfo file at path by
 * memsweep's own rule (its clock unit's core_mhz). */
Rate memsweep_rate(const std::string &path);

/* run_checks reads the files below root, measures the counter's rate, and
 * watches the "cpu MHz" line and the other work for about `seconds`
 * seconds; it returns the eight checks in their report order: clock rate,
 * counter, machine, frequency scaling, other load, memory, huge pages,
 * caches. */
std::vector<Check> run_checks(const std::string &root, double seconds);

/* clock_check compares the rate memsweep will use (the first of reads) and
 * the later reads of the "cpu MHz" line with the counter's rate in MHz (0.0
 * when it could not be measured).  here is false for files collected from
 * another machine: the check then reports the line only, as info. */
Check clock_check(const std::vector<Rate> &reads, double counter, bool here);

/* load_check measures the other work, in CPUs, from two snapshots of
 * /proc/stat taken `seconds` apart, of which `own_ticks` clock ticks were
 * this process's own CPU time. */
Check load_check(const std::string &stat_before, const std::string &stat_after, double own_ticks,
                 double seconds);

/* format_text returns one aligned line per check: status word, name,
 * figures and, where there is one, the note after " -- ". */
std::string format_text(const std::vector<Check> &checks);

/* format_json returns one JSON object: the root folder ("/" for this
 * machine's files), the number of warnings, and one member per check with
 * its status, its figures and note as text, and its data. */
std::string format_json(const std::vector<Check> &checks, const std::string &root);

/* exit_status is 1 when any check warns, else 0. */
int exit_status(const std::vector<Check> &checks);

#endif /* MEMSWEEP_CHECK_FACTS_H */
