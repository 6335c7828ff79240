// SPDX-License-Identifier: MIT
/*
 * options.h -- memsweep-record's command line, read into options before
 * anything is done.  Private to memsweep-record; not installed.
 */
#ifndef MEMSWEEP_RECORD_OPTIONS_H
#define MEMSWEEP_RECORD_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "record/session.h"

namespace record
{

using machine::Pages;

/* Seeds are kept below 2^53, so that any JSON reader keeps them exact. */
const uint64_t seed_limit = uint64_t(1) << 53;

/* Five passes by default: on a noisy two-core virtual machine, the median
 * of five kept two sessions' tables within 6 % of each other per cell, at
 * the median, where three gave 6 to 18 % and one 11 to 25 %; and two
 * sessions of five passes had 98 % of their cells' ranges overlap, against
 * 67 to 90 % with three.  A pass costs about one memsweep run. */
struct Options {
    int passes = 5;
    bool seed_given = false;
    uint64_t seed = 0;
    int cpu = -1; /* -1: the least busy */
    Pages pages = Pages::system;
    /* New physical pages for every pass: ten A/A comparisons of sessions
     * of one 2-core virtual machine called 1.8 % of the cells different
     * with them, against 13.1 % without, as sessions differ by where
     * their pages lie far more than passes on the same pages do. */
    bool fresh_pages = true;
    std::string out; /* the record's path; "" for none, "-" for standard output */
    std::string metrics; /* --metrics's path; "" for none */
    bool quiet = false;
    bool latency = true;
    bool bandwidth = true;
    bool loaded_latency = true; /* where two CPUs or more may be used */
    /* The bandwidth plane's thread counts as asked, in the order given;
     * all_cpus stands for the CPUs the session may use.  None: the default,
     * 1, 2, 4 ... up to those CPUs, and their number itself. */
    std::vector<int> threads;
    /* For tests and emulators: the plane's working sets per thread end at
     * this many bytes (a power of two, 16 KiB to 1 GiB); 0 for no end but
     * the caches' and the memory's. */
    uint64_t plane_upto = 0;
};

/* all_cpus is `--threads max`: as many threads as the session may use CPUs. */
const int all_cpus = -1;

/* The most threads a count may ask for: the most CPUs a process may be
 * allowed (machine/machine.cpp reads masks up to this size). */
const int max_threads = 1 << 20;

/* What the command line asks for: the options, or an end with its exit
 * status and the text to print (the usage on standard output for --help,
 * status 0; a usage error on standard error, status 2). */
struct Parsed {
    Options options;
    int status = -1; /* -1: go on and measure */
    std::string text;
};

/* parse_options reads the arguments after the command's name. */
Parsed parse_options(const std::vector<std::string> &args);

/* usage_error returns a usage error's text: one line naming the problem,
 * with its control characters shown as '?' (common/shown.h), then the
 * usage. */
std::string usage_error(const std::string &problem);

}  // namespace record

#endif
