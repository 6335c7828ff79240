// SPDX-License-Identifier: MIT
/*
 * session.h -- everything a memsweep-record session found, gathered by its
 * main: the command, the machine, the checks before and after, and the
 * passes.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_SESSION_H
#define MEMSWEEP_RECORD_SESSION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "check/checks.h"
#include "machine/machine.h"
#include "record/passes.h"

namespace record {

using machine::Pages;

/* Everything a session found, gathered by memsweep-record's main. */
struct Session {
    std::string version;                /* memsweep's version */
    std::vector<std::string> command;   /* the command line, word by word */
    std::string start, end;             /* UTC, as 2026-12-08T13:44:15Z */
    uint64_t seed = 0;
    int cpu = -1;                       /* the CPU the session ran on */
    Pages pages = Pages::system;
    double huge_share = 0.0;            /* of data, on huge pages, before the passes */
    bool fresh_pages = false;           /* new physical pages before every pass */
    double loaded_probe_seconds = 0.0;  /* the loaded latency's probing run, before the passes */
    double huge_share_after = -1.0;     /* the same after them; negative if not read */
    double latency_huge_share = -1.0;   /* of the latency's buffer; negative without one */
    double cpu_mhz = 0.0;               /* the "cpu MHz" rate memsweep would use */
    double counter_mhz = 0.0;           /* the counter's measured rate */
    double counter_step = 1.0;          /* the cycles it advances by at a time */
    double in_row_below = 0.0;          /* calls counted fewer cycles are timed in a row (sweep.h) */
    std::string model;                  /* the CPU's model name; "" if unknown */
    std::string host;                   /* the machine's host name; "" if unknown */
    int cpus = 0;                       /* logical CPUs in /proc/stat */
    double memory_mib = -1.0;           /* MemTotal; negative if unknown */
    std::vector<checks::Check> checks_before, checks_after; /* the checks, as memsweep-check makes them */
    double other_work_cpus = -1.0;      /* over the session; negative if unknown */
    double cpu_mhz_after = 0.0;
    double counter_mhz_after = 0.0;
    std::vector<std::string> warnings;
    Passes passes;
    bool bandwidth = false;             /* the plane was asked for */
    PlaneFacts plane;                   /* what it ran with */
    std::string plane_error;            /* why it ended before the passes did, or "" */
    double seconds = 0.0;               /* the whole command's wall time */
};

}  // namespace record

#endif /* MEMSWEEP_RECORD_SESSION_H */
