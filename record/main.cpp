// SPDX-License-Identifier: MIT
/*
 * memsweep-record -- memsweep's table, measured so that it can be trusted.
 *
 * It measures memsweep's 210 cells with memsweep's own kernel and harness,
 * as one controlled session:
 *
 *   1. the checks of memsweep-check, watching the machine for a second;
 *   2. the session pinned to one CPU, the least busy of those it may use;
 *   3. the measured memory given the pages asked for (--pages);
 *   4. cycles turned into time with the counter's measured rate;
 *   5. passes over the grid, the load-to-use latency's working sets and
 *      the bandwidth plane's points (kernels run by teams of pinned
 *      threads, bandwidth/), each pass in a shuffled order, with a drift
 *      watch (a fixed core-bound cell measured again every few seconds);
 *   6. the checks again, and what changed over the session.
 *
 * Standard output gets every cell's best pass in memsweep's layout, with
 * one decimal; -o FILE gets the whole record as JSON (memsweep-record(1)),
 * the latency and the plane with it; -o - puts the record on standard
 * output in the table's place.  Warnings go to standard error, one
 * line each, and a summary after them, with one line of latency by cache
 * level and one of the plane's largest working sets.
 *
 * Exit status: 0 when a record was made, warnings or not; 1 when it could
 * not be (the counter's rate can't be measured, a write failed); 2 for a
 * usage error; 130 when stopped by Ctrl-C.  A record is written whole or
 * not at all.
 */
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "check/checks.h"
#include "clock/clock.h"
#include "common/files.h"
#include "common/memory.h"
#include "common/outfile.h"
#include "common/shown.h"
#include "common/std_fds.h"
#include "common/text.h"
#include "record/facts.h"
#include "format/writer.h"
#include "record/metrics.h"
#include "record/model.h"
#include "latency/latency.h"
#include "latency/loaded.h"
#include "machine/machine.h"
#include "record/options.h"
#include "record/plane.h"
#include "record/report.h"
#include "record/session.h"
#include "sweep/sweep.h"


/* A progress line waits for its line end, which a signal that ends the
 * session writes. */
static volatile sig_atomic_t progress_shown = 0;

/* end_progress_line ends a progress line; it is async-signal-safe. */
static void end_progress_line()
{
    if (progress_shown != 0) {
        ssize_t ignored = write(2, "\n", 1);
        (void)ignored;
    }
}

/* ====================== Small helpers ====================== */

/* utc returns the time as 2026-12-08T13:44:15Z. */
static std::string utc(time_t t)
{
    struct tm tm {
    };
    gmtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

/* minutes shows a duration as "1:23" or "1:02:03". */
static std::string minutes(double seconds)
{
    long s = seconds > 0.0 ? lround(seconds) : 0;
    char text[32];
    if (s >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

/* warn prints one warning line and keeps it for the record. */
static void warn(record::Session *s, const std::string &sentence)
{
    fprintf(stderr, "memsweep-record: warning: %s\n", sentence.c_str());
    s->warnings.push_back(sentence);
}

/* largest_cache returns the bytes of cpu0's largest cache as the checks
 * found it; 0 where they found none. */
static uint64_t largest_cache(const record::Session &s)
{
    std::vector<latency::Cache> caches = latency::caches_of(s.checks_before);
    return caches.empty() ? 0 : caches.back().bytes;
}

/* room_left is the room that the latency's buffer (and the loaded
 * latency's chase, as large, where it may be measured) leave of room;
 * negative where room is unknown. */
static double room_left(double room, size_t buffer_bytes, bool chase)
{
    return room < 0.0 ? room : std::max(0.0, room - (double)buffer_bytes * (chase ? 2.0 : 1.0));
}

/* usage_error prints a usage error; it returns its exit status. */
static int usage_error(const std::string &problem)
{
    fputs(record::usage_error(problem).c_str(), stderr);
    return 2;
}

/* ====================== The session, step by step ====================== */

using steady = std::chrono::steady_clock;

/* What a session holds from one step to the next. */
struct Run {
    record::Options o;
    record::Session s;
    steady::time_point started;
    std::vector<int> allowed;      /* the CPUs the process may use */
    record::PlaneSetup plane_setup;
    outfile::File out;             /* the record's file */
    outfile::File metrics;         /* --metrics's file */
    checks::Facts before;
    double room = -1.0;            /* bytes for all the session's buffers; negative: unknown */
    std::vector<uint64_t> latency_bytes;
    machine::Mapping buffer;        /* the latency's */
    machine::Mapping chase;         /* the loaded latency's, as large */
    std::unique_ptr<record::Plane> plane;
    std::unique_ptr<bandwidth::Team> loaded_team;
    latency::LoadedSetup loaded;
    std::vector<latency::LoadedPlanPoint> loaded_points;
    std::vector<bw_kernel_fn> loaded_fns;
    int loaders = 0;
    /* The passes' start, for what other work did meanwhile. */
    std::string stat_start;
    double ticks_start = 0.0;
    steady::time_point passes_start;
};

static double seconds_since(steady::time_point t)
{
    return std::chrono::duration<double>(steady::now() - t).count();
}

/* settle finds every usage error before anything is measured: the CPUs,
 * the plane's threads among them (read before the session pins itself to
 * one), and the record's file ("-": standard output, which then gets the
 * record instead of the table), gone on every way out but the one that
 * gives it its name.  It returns -1 to go on, else the exit status. */
static int settle(Run &r)
{
    r.allowed = machine::allowed_cpus();
    if (r.allowed.empty()) {
        fprintf(stderr, "memsweep-record: can't tell which CPUs this process may use: %s\n", strerror(errno));
        return 1;
    }
    if (r.o.cpu >= 0 && std::find(r.allowed.begin(), r.allowed.end(), r.o.cpu) == r.allowed.end()) {
        std::string list;
        for (int cpu : r.allowed)
            list += (list.empty() ? "" : " ") + std::to_string(cpu);
        return usage_error("--cpu " + std::to_string(r.o.cpu) + ": not among the CPUs allowed (" + list + ")");
    }
    if (r.o.bandwidth) {
        r.plane_setup = record::place_plane("", r.allowed, r.o.threads);
        if (!r.plane_setup.error.empty())
            return usage_error(r.plane_setup.error);
    }
    outfile::catch_signals(end_progress_line);
    /* A reader that goes away is a write that fails, with its one line. */
    signal(SIGPIPE, SIG_IGN);
    if (!r.o.out.empty()) {
        std::string why = r.out.create(r.o.out);
        if (!why.empty())
            return usage_error("-o: can't write " + r.o.out + ": " + why);
    }
    if (!r.o.metrics.empty()) {
        std::string why = r.metrics.create(r.o.metrics);
        if (!why.empty())
            return usage_error("--metrics: can't write " + r.o.metrics + ": " + why);
        if (r.out.is_open() && r.out.same_target(r.metrics))
            return usage_error("-o and --metrics name the same file");
    }
    if (!r.o.seed_given)
        r.o.seed = (((uint64_t)std::random_device{}() << 32) ^ std::random_device{}()) % record::seed_limit;
    return -1;
}

/* check_before runs the checks on the machine and chooses the session's
 * CPU: --cpu's, or the least busy. */
static void check_before(Run &r, const std::vector<std::string> &command)
{
    record::Session &s = r.s;
    s.version = MEMSWEEP_VERSION;
    s.command = command;
    s.start = utc(time(nullptr));
    s.seed = r.o.seed;
    s.pages = r.o.pages;
    s.bandwidth = r.o.bandwidth;
    r.before = record::machine_facts(checks::watch_seconds);
    s.checks_before = checks::judge(r.before);
    for (const std::string &w : record::check_warnings(s.checks_before, "before the session"))
        warn(&s, w);
    s.model = checks::model_name(r.before.cpuinfo);
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) == 0)
        s.host = memsweep::shown(host, 64);
    s.memory_mib = checks::mem_total_mib(r.before.meminfo);
    const auto *load_before = checks::figures_of<checks::OtherLoad>(s.checks_before);
    s.cpus = load_before != nullptr ? load_before->cpus : 0;
    s.cpu = r.o.cpu >= 0 ? r.o.cpu
                         : machine::least_busy(r.allowed,
                                              checks::cpu_busy_shares(r.before.stat_before, r.before.stat_after));
    if (!r.plane_setup.warning.empty())
        warn(&s, r.plane_setup.warning);
}

/* prepare pins the session to its CPU (the plane's threads pin
 * themselves, each to its own), gives the measured array its pages before
 * it is first touched, maps the latency's buffer, and measures the
 * counter's own rate on that CPU.  The room: what every buffer of the
 * session shares beside memsweep's array; the latency's buffer takes a
 * quarter of it at most, and the loaded latency's chase as much again.
 * It returns -1 to go on, else the exit status. */
static int prepare(Run &r)
{
    record::Session &s = r.s;
    if (!machine::pin(s.cpu)) {
        fprintf(stderr, "memsweep-record: can't pin the session to CPU %d: %s\n", s.cpu, strerror(errno));
        return 1;
    }
    if (!machine::advise_pages(data, sizeof data, r.o.pages))
        warn(&s, std::string("the kernel refused the page advice for the measured memory (") + strerror(errno) +
                     "): its pages are the system's choice");
    init_data(data, DATA_ELEMS);

    /* One mapping of the largest working set, with the same pages, made
     * resident on this CPU before anything is timed; each size's cycle is
     * built in its first bytes. */
    r.room = memsweep::memory_room(latency::available_mib_of(s.checks_before));
    if (r.o.latency)
        r.latency_bytes = latency::latency_sizes(latency::caches_of(s.checks_before), r.room < 0.0 ? r.room : r.room / 4.0);
    if (!r.latency_bytes.empty()) {
        r.buffer = machine::Mapping((size_t)r.latency_bytes.back());
        if (r.buffer.data() == nullptr) {
            warn(&s, "can't map " + std::to_string(r.latency_bytes.back() >> 20) + " MiB for the latency (" +
                         strerror(errno) + "): the session measures the throughput alone");
            r.latency_bytes.clear();
        } else {
            if (!machine::advise_pages(r.buffer.data(), r.buffer.size(), r.o.pages))
                warn(&s, std::string("the kernel refused the page advice for the latency's buffer (") +
                             strerror(errno) + "): its pages are the system's choice");
            machine::touch_pages(r.buffer.data(), r.buffer.size());
        }
    }
    std::string smaps = memsweep::file_text("/proc/self/smaps");
    s.huge_share = machine::huge_share(smaps, (uintptr_t)data, (uintptr_t)data + sizeof data);
    if (r.buffer.data() != nullptr)
        s.latency_huge_share = machine::huge_share(smaps, (uintptr_t)r.buffer.data(),
                                                  (uintptr_t)r.buffer.data() + r.buffer.size());

    /* Measured again, now that the session runs on its one CPU: the
     * checks' figure was taken wherever the process then ran, and counters
     * of different CPUs need not agree. */
    s.counter_mhz = counter_mhz();
    if (!(s.counter_mhz > 0.0)) {
        fprintf(stderr, "memsweep-record: can't measure the counter's rate: the system clock can't be read\n");
        return 1;
    }
    s.cpu_mhz = checks::memsweep_rate("/proc/cpuinfo").mhz;
    s.counter_step = machine::counter_step();
    s.in_row_below = run_in_row_steps() * s.counter_step;
    return -1;
}

/* open_the_plane chooses the plane's kernels and clock and starts its
 * teams, every thread pinned and kept for the session, with the room the
 * latency's buffers leave. */
static void open_the_plane(Run &r)
{
    if (!r.o.bandwidth)
        return;
    record::Session &s = r.s;
    r.plane = record::open_plane(r.plane_setup, largest_cache(s), room_left(r.room, r.buffer.size(), r.o.loaded_latency),
                                 r.o.plane_upto, r.o.pages, s.counter_mhz, r.before.cpuinfo);
    s.plane = r.plane->facts;
    for (const std::string &note : r.plane->facts.notes)
        fprintf(stderr, "memsweep-record: note: %s\n", note.c_str());
    if (!r.plane->error.empty()) {
        s.plane_error = r.plane->error;
        warn(&s, "the bandwidth plane is left out: " + r.plane->error);
        r.plane.reset();
    }
}

/* open_the_loaded_latency starts the loaded latency's team, the chase on
 * the session's CPU and the loads on the others, and places its delays by
 * a probing run; its chase has a buffer of its own, beside the latency's,
 * whose points build their cycles in theirs. */
static void open_the_loaded_latency(Run &r)
{
    if (!r.o.loaded_latency || r.buffer.data() == nullptr)
        return;
    record::Session &s = r.s;
    latency::LoadedCpus cpus = latency::loaded_cpus("", r.allowed, s.cpu);
    if (cpus.cpus.empty()) {
        if (!r.o.quiet)
            fprintf(stderr, "memsweep-record: %s\n", cpus.note.c_str());
        return;
    }
    if (!cpus.warning.empty())
        warn(&s, cpus.warning);
    r.chase = machine::Mapping(r.buffer.size());
    r.loaders = (int)cpus.cpus.size() - 1;
    r.loaded = {r.chase.data(), r.latency_bytes.back(), r.o.seed, s.counter_mhz,
                latency::load_bytes_of(r.latency_bytes.back(), r.loaders, room_left(r.room, r.buffer.size(), true))};
    std::string error = r.chase.data() == nullptr ? "can't map " + std::to_string(r.buffer.size() >> 20) +
                                                        " MiB for its chase: " + strerror(errno)
                                                  : "";
    if (error.empty() && !machine::advise_pages(r.chase.data(), r.chase.size(), r.o.pages))
        warn(&s, std::string("the kernel refused the page advice for the loaded latency's chase (") +
                     strerror(errno) + "): its pages are the system's choice");
    steady::time_point probe_start = steady::now();
    if (error.empty())
        error = latency::open_loaded(cpus.cpus, r.o.pages, r.loaded, &r.loaded_team, &r.loaded_points, &r.loaded_fns);
    if (error.empty()) {
        s.loaded_probe_seconds = seconds_since(probe_start);
    } else {
        warn(&s, "the loaded latency can't be measured (" + error + "): the session goes on without it");
        r.loaded_team.reset();
        r.loaded_points.clear();
        r.chase = machine::Mapping();
    }
}

/* plan_of is what the passes measure, and how each kind of point is
 * measured; *renewed turns false where the kernel refused to give the
 * measured memory's pages back. */
static record::Plan plan_of(Run &r, bool *renewed)
{
    record::Plan plan;
    plan.passes = r.o.passes;
    plan.seed = r.o.seed;
    plan.mhz = r.s.counter_mhz;
    plan.latency_bytes = r.latency_bytes;
    plan.latency_buffer = r.buffer.data();
    if (r.plane) {
        plan.plane = r.plane->points;
        plan.measure_plane = [&r](size_t i, std::string *why) { return r.plane->measure(i, why); };
    }
    if (r.loaded_team) {
        plan.loaded = r.loaded_points;
        plan.measure_loaded = [&r](size_t i, double *gbs, double *ns, std::string *why) {
            latency::LoadedPoint p =
                latency::measure_loaded(*r.loaded_team, r.loaded, r.loaded_fns[i], r.loaded_points[i].delay);
            *gbs = p.load_gbs;
            *ns = p.ns;
            *why = p.error;
        };
    }
    /* Fresh pages: each pass after the first gets the measured memory on
     * pages the system chooses again, so that the passes sample the
     * physical placement as separate sessions do. */
    plan.throttled = [] { return bandwidth::throttled_periods(""); };
    if (r.o.fresh_pages)
        plan.renew_pages = [&r, renewed] {
            *renewed = machine::give_back_pages(data, sizeof data) && *renewed;
            init_data(data, DATA_ELEMS);
            if (r.buffer.data() != nullptr) {
                *renewed = machine::give_back_pages(r.buffer.data(), r.buffer.size()) && *renewed;
                machine::touch_pages(r.buffer.data(), r.buffer.size());
            }
        };
    if (!r.o.quiet && isatty(2) != 0)
        plan.progress = [last_shown = -1.0](int done, int total, double elapsed) mutable {
            /* A few times a second at most, and at the end. */
            if (done < total && elapsed - last_shown < 0.25)
                return;
            last_shown = elapsed;
            std::string left = done > 0 ? ", about " + minutes(elapsed / done * (total - done)) + " left" : "";
            fprintf(stderr, "\rmemsweep-record: %d of %d points, %s%s\033[K", done, total, minutes(elapsed).c_str(),
                    left.c_str());
            progress_shown = 1;
        };
    return plan;
}

/* run_passes measures the passes, then lets go of the teams and buffers. */
static void run_passes(Run &r)
{
    r.stat_start = memsweep::file_text("/proc/stat");
    r.ticks_start = checks::own_ticks();
    r.passes_start = steady::now();
    bool renewed = true;
    r.s.passes = record::measure(plan_of(r, &renewed));
    r.s.fresh_pages = r.o.fresh_pages && r.o.passes > 1 && renewed;
    if (!renewed)
        warn(&r.s, "the kernel refused to give back the measured memory's pages: the passes kept the ones they had");
    r.loaded_team.reset();
    r.chase = machine::Mapping();
    r.buffer = machine::Mapping();
    r.plane.reset();
    if (progress_shown != 0) {
        fputs("\r\033[K", stderr);
        progress_shown = 0;
    }
}

/* check_after says what changed over the session, and runs the checks
 * again. */
static void check_after(Run &r)
{
    record::Session &s = r.s;
    if (!s.passes.plane_error.empty()) {
        s.plane_error = s.passes.plane_error;
        warn(&s, "the bandwidth plane ended: " + s.plane_error + "; the session went on without it");
    }
    if (!s.passes.loaded_error.empty())
        warn(&s, "the loaded latency ended: " + s.passes.loaded_error + "; the session went on without it");
    std::string stat_end = memsweep::file_text("/proc/stat");
    s.huge_share_after =
        machine::huge_share(memsweep::file_text("/proc/self/smaps"), (uintptr_t)data, (uintptr_t)data + sizeof data);
    checks::Check load = checks::load_check(r.stat_start, stat_end, checks::own_ticks() - r.ticks_start,
                                            seconds_since(r.passes_start));
    s.other_work_cpus = checks::figures_of<checks::OtherLoad>(load).other_work_cpus.value_or(-1.0);
    s.cpu_mhz_after = checks::memsweep_rate("/proc/cpuinfo").mhz;
    s.counter_mhz_after = counter_mhz();
    for (const std::string &w : record::session_warnings(s))
        warn(&s, w);
    s.checks_after = checks::judge(record::machine_facts(checks::watch_seconds));
    s.end = utc(time(nullptr));
    s.seconds = seconds_since(r.started);
}

/* write_out writes the record first, then the table (or the record, for
 * -o -); a write that fails is a failure, with one line.  *written is the
 * record's name once it is written, else "".  It returns the exit status. */
static int write_out(Run &r, std::string *written)
{
    int status = 0;
    const bool table_out = !r.out.to_stdout();
    *written = table_out ? shown_line(r.o.out) : "standard output";
    if (!r.o.out.empty()) {
        format::Written record = format::write_record(record::model_of(r.s));
        for (const std::string &w : record.left_out)
            fprintf(stderr, "memsweep-record: %s\n", shown_line(w).c_str());
        if (!record.error.empty()) {
            fprintf(stderr, "memsweep-record: no record %s: %s\n", written->c_str(), record.error.c_str());
            written->clear();
            status = 1;
        } else if (!r.out.publish(record.text)) {
            if (table_out)
                fprintf(stderr, "memsweep-record: can't write the record %s: %s\n", written->c_str(),
                        strerror(errno));
            else
                fprintf(stderr, "memsweep-record: can't write standard output: %s\n", strerror(errno));
            written->clear();
            status = 1;
        }
    }
    if (r.metrics.is_open() && !r.metrics.publish(record::metrics_text(record::model_of(r.s)))) {
        fprintf(stderr, "memsweep-record: can't write the metrics %s: %s\n", shown_line(r.o.metrics).c_str(),
                strerror(errno));
        status = 1;
    }
    std::string table = table_out ? record::best_table(r.s.passes) : "";
    errno = 0;
    if (fwrite(table.data(), 1, table.size(), stdout) != table.size() || fflush(stdout) != 0 || fclose(stdout) != 0) {
        fprintf(stderr, "memsweep-record: can't write standard output: %s\n",
                errno != 0 ? strerror(errno) : "write error");
        if (!table_out)
            written->clear();
        status = 1;
    }
    return status;
}

/* summarise prints the summary lines: the session, the latency by cache
 * level, the plane's largest working sets, the loaded latency. */
static void summarise(const Run &r, const std::string &written)
{
    const record::Session &s = r.s;
    fprintf(stderr, "memsweep-record: %s\n", record::summary(s, written).c_str());
    std::string latency =
        latency::latency_summary(record::latency_medians(s.passes), latency::caches_of(s.checks_before));
    if (!latency.empty())
        fprintf(stderr, "memsweep-record: latency: %s\n", latency.c_str());
    std::string bandwidth = record::bandwidth_summary(s.passes, largest_cache(s));
    if (!bandwidth.empty())
        fprintf(stderr, "memsweep-record: %s\n", bandwidth.c_str());
    std::string memory = record::memory_summary(record::model_of(s));
    if (!memory.empty())
        fprintf(stderr, "memsweep-record: %s\n", memory.c_str());
    std::string loaded =
        latency::loaded_summary(record::loaded_series(s.passes), record::loaded_peak(s.passes, r.loaders));
    if (!loaded.empty())
        fprintf(stderr, "memsweep-record: %s\n", loaded.c_str());
}

/* session measures what the options ask for and writes it out; main
 * catches what it throws. */
static int session(record::Options o, const std::vector<std::string> &command)
{
    Run r;
    r.started = steady::now();
    r.o = std::move(o);
    int status = settle(r);
    if (status >= 0)
        return status;
    check_before(r, command);
    status = prepare(r);
    if (status >= 0)
        return status;
    open_the_plane(r);
    open_the_loaded_latency(r);
    run_passes(r);
    check_after(r);
    std::string written;
    status = write_out(r, &written);
    if (!r.o.quiet)
        summarise(r, written);
    return status;
}

int main(int argc, char **argv)
{
    open_std_fds();
    /* Nothing is expected to throw; should something (memory running out,
     * say), it ends the command with one line. */
    int status;
    try {
        std::vector<std::string> command(argv, argv + argc);
        record::Parsed parsed =
            record::parse_options(std::vector<std::string>(command.begin() + static_cast<__gnu_cxx::__normal_iterator<class std::basic_string<char> *, class std::vector<class std::basic_string<char> > >::difference_type>(argc > 0), command.end()));
        if (parsed.status >= 0) {
            fputs(parsed.text.c_str(), parsed.status == 0 ? stdout : stderr);
            return parsed.status;
        }
        status = session(parsed.options, command);
    } catch (const std::exception &e) {
        fprintf(stderr, "memsweep-record: stopped: %s\n", e.what());
        status = 1;
    }
    return status;
}
