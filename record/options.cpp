// SPDX-License-Identifier: MIT
/*
 * options.cpp -- memsweep-record's command line (options.h).
 */
#include "record/options.h"

#include <limits.h>
#include <stdlib.h>

#include "common/options.h"

namespace record
{


static const char usage[] =
    "usage: memsweep-record [-o FILE] [--passes N] [--seed S] [--cpu N]\n"
    "                       [--pages system|small|huge] [--no-latency] [--no-bandwidth]\n"
    "                       [--threads LIST|max] [--no-loaded-latency]\n"
    "                       [--same-pages|--fresh-pages] [--quiet] [--metrics FILE]\n"
    "                       [--plane-upto SIZE]\n"
    "  -o, --json FILE  write the whole record to FILE as JSON (\"-\": to standard\n"
    "                   output, in the table's place)\n"
    "  --passes N       measure every cell N times, 1 to 100 (default 5)\n"
    "  --seed S         the seed of the passes' random orders (default: a new one)\n"
    "  --cpu N          run on CPU N (default: the least busy of those allowed)\n"
    "  --pages MODE     system: as the machine has it (default); small: no huge\n"
    "                   pages for the measured memory; huge: ask for huge pages\n"
    "  --no-latency     measure the throughput alone, not the load-to-use latency\n"
    "  --no-bandwidth   leave out the bandwidth plane (kernels over 1 to N threads)\n"
    "  --threads LIST   the plane's thread counts, as 1,2,8; max: one per CPU allowed\n"
    "                   (default 1, 2, 4 ... up to the CPUs allowed, and their number)\n"
    "  --no-loaded-latency  leave out the latency under the other CPUs' load\n"
    "  --same-pages     keep the measured memory's physical pages for every pass\n"
    "  --fresh-pages    new ones before every pass after the first (the default)\n"
    "  --quiet          no progress line and no summary lines\n"
    "  --metrics FILE   write the summary figures to FILE as Prometheus series, for\n"
    "                   node_exporter's textfile collector (a FILE.prom in its folder)\n"
    "  --plane-upto SIZE  for tests and emulators: the plane's working sets end at\n"
    "                   SIZE per thread, a power of two from 16K to 1G (as 256K, 4M)\n"
    "  -h, --help       print this help\n"
    "Standard output: each cell's best pass in memsweep's layout.  Exit status: 0 a record\n"
    "was made, 1 it could not be, 2 usage error, 130 stopped by Ctrl-C.\n";

std::string usage_error(const std::string &problem)
{
    return memsweep::usage_error("memsweep-record", problem, usage);
}

/* whole_number reads a decimal number up to max, digits only. */
static bool whole_number(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = strtoull(text.c_str(), nullptr, 10);
    return *value <= max;
}

/* thread_counts reads --threads: counts from 1 to max_threads, or max,
 * separated by commas; false on any fault. */
static bool thread_counts(const std::string &text, std::vector<int> *counts)
{
    counts->clear();
    size_t from = 0;
    for (;;) {
        size_t comma = text.find(',', from);
        std::string word = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        uint64_t n = 0;
        if (word == "max")
            counts->push_back(all_cpus);
        else if (whole_number(word, max_threads, &n) && n >= 1)
            counts->push_back((int)n);
        else
            return false;
        if (comma == std::string::npos)
            return true;
        from = comma + 1;
    }
}

/* set_size reads --plane-upto: a power of two of bytes, written in KiB,
 * MiB or GiB with its letter (16K, 4M, 1G), from 16 KiB to 1 GiB; false on
 * any fault. */
static bool set_size(const std::string &text, uint64_t *bytes)
{
    if (text.size() < 2)
        return false;
    const std::string letters = "KMG";
    size_t unit = letters.find(text.back());
    uint64_t n = 0;
    if (unit == std::string::npos || !whole_number(text.substr(0, text.size() - 1), uint64_t(1) << 30, &n))
        return false;
    *bytes = n << (10 * (unit + 1));
    return n > 0 && (*bytes & (*bytes - 1)) == 0 && *bytes >= (uint64_t(16) << 10) && *bytes <= (uint64_t(1) << 30);
}

/* ended returns a Parsed that ends the command with status and text. */
static Parsed ended(int status, const std::string &text)
{
    Parsed p;
    p.status = status;
    p.text = text;
    return p;
}

/* The options memsweep-record knows. */
static const std::vector<memsweep::OptionSpec> known = {
    {"-h", memsweep::Takes::nothing},
    {"--help", memsweep::Takes::nothing},
    {"-o", memsweep::Takes::value},
    {"--json", memsweep::Takes::value},
    {"--passes", memsweep::Takes::value},
    {"--seed", memsweep::Takes::value},
    {"--cpu", memsweep::Takes::value},
    {"--pages", memsweep::Takes::value},
    {"--threads", memsweep::Takes::value},
    {"--quiet", memsweep::Takes::nothing},
    {"--no-latency", memsweep::Takes::nothing},
    {"--no-bandwidth", memsweep::Takes::nothing},
    {"--no-loaded-latency", memsweep::Takes::nothing},
    {"--fresh-pages", memsweep::Takes::nothing},
    {"--same-pages", memsweep::Takes::nothing},
    {"--plane-upto", memsweep::Takes::value},
    {"--metrics", memsweep::Takes::value},
};

Parsed parse_options(const std::vector<std::string> &args)
{
    Parsed p;
    Options &o = p.options;
    memsweep::CommandLine line = memsweep::read_command_line(args, known, false);
    for (const memsweep::Word &w : line.words) {
        const std::string &name = w.name;
        const std::string &value = w.value;
        uint64_t n = 0;
        if (name == "-h" || name == "--help")
            return ended(0, usage);
        if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--no-latency") {
            o.latency = false;
        } else if (name == "--no-bandwidth") {
            o.bandwidth = false;
        } else if (name == "--no-loaded-latency") {
            o.loaded_latency = false;
        } else if (name == "--fresh-pages") {
            o.fresh_pages = true;
        } else if (name == "--same-pages") {
            o.fresh_pages = false;
        } else if (name == "--threads") {
            if (!thread_counts(value, &o.threads))
                return ended(2, usage_error("--threads: not a list of thread counts from 1 up, or max: " + value));
        } else if (name == "--plane-upto") {
            if (!set_size(value, &o.plane_upto))
                return ended(2, usage_error("--plane-upto: not a power of two from 16K to 1G: " + value));
        } else if (name == "--metrics") {
            if (value == "-")
                return ended(2, usage_error("--metrics: a file, not standard output"));
            o.metrics = value;
        } else if (name == "-o" || name == "--json") {
            o.out = value;
        } else if (name == "--passes") {
            if (!whole_number(value, 100, &n) || n < 1)
                return ended(2, usage_error("--passes: not a number from 1 to 100: " + value));
            o.passes = (int)n;
        } else if (name == "--seed") {
            if (!whole_number(value, seed_limit - 1, &n))
                return ended(2, usage_error("--seed: not a whole number below 2^53: " + value));
            o.seed = n;
            o.seed_given = true;
        } else if (name == "--cpu") {
            if (!whole_number(value, INT_MAX, &n))
                return ended(2, usage_error("--cpu: not a CPU number: " + value));
            o.cpu = (int)n;
        } else if (name == "--pages") {
            if (value == "system")
                o.pages = Pages::system;
            else if (value == "small")
                o.pages = Pages::small;
            else if (value == "huge")
                o.pages = Pages::huge;
            else
                return ended(2, usage_error("--pages: system, small or huge, not " + value));
        }
    }
    if (!line.fault.empty())
        return ended(2, usage_error(line.fault));
    return p;
}

}  // namespace record
