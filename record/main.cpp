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
#include "record/facts.h"
#include "format/writer.h"
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
    if (progress_shown) {
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
    std::vector<record::Cache> caches = record::caches_of(s.checks_before);
    return caches.empty() ? 0 : caches.back().bytes;
}

/* usage_error prints a usage error; it returns its exit status. */
/* room_left is the room that the latency's buffer (and the loaded
 * latency's chase, as large, where it may be measured) leave of room;
 * negative where room is unknown. */
static double room_left(double room, size_t buffer_bytes, bool chase)
{
    return room < 0.0 ? room : std::max(0.0, room - (double)buffer_bytes * (chase ? 2.0 : 1.0));
}

static int usage_error(const std::string &problem)
{
    fputs(record::usage_error(problem).c_str(), stderr);
    return 2;
}

/* session measures what the options ask for and writes it out; main
 * catches what it throws. */
static int session(record::Options o, const std::vector<std::string> &command)
{
    using clock = std::chrono::steady_clock;
    clock::time_point started = clock::now();

    /* --- SETUP: every usage error before anything is measured. --- */
    std::vector<int> allowed = record::allowed_cpus();
    if (allowed.empty()) {
        fprintf(stderr, "memsweep-record: can't tell which CPUs this process may use: %s\n", strerror(errno));
        return 1;
    }
    if (o.cpu >= 0 && std::find(allowed.begin(), allowed.end(), o.cpu) == allowed.end()) {
        std::string list;
        for (int cpu : allowed)
            list += (list.empty() ? "" : " ") + std::to_string(cpu);
        return usage_error("--cpu " + std::to_string(o.cpu) + ": not among the CPUs allowed (" + list + ")");
    }
    /* The plane's threads among the CPUs allowed, read before the session
     * pins itself to one of them. */
    record::PlaneSetup plane_setup;
    if (o.bandwidth) {
        plane_setup = record::place_plane("", allowed, o.threads);
        if (!plane_setup.error.empty())
            return usage_error(plane_setup.error);
    }
    outfile::catch_signals(end_progress_line);
    /* A reader that goes away is a write that fails, with its one line. */
    signal(SIGPIPE, SIG_IGN);
    /* The record's file ("-": standard output, which then gets the record
     * instead of the table), gone on every way out but the one that gives
     * it its name. */
    outfile::File out;
    if (!o.out.empty()) {
        std::string why = out.create(o.out);
        if (!why.empty())
            return usage_error("-o: can't write " + o.out + ": " + why);
    }
    if (!o.seed_given)
        o.seed = (((uint64_t)std::random_device{}() << 32) ^ std::random_device{}()) % record::seed_limit;

    record::Session s;
    s.version = MEMSWEEP_VERSION;
    s.command = command;
    s.start = utc(time(nullptr));
    s.seed = o.seed;
    s.pages = o.pages;
    s.bandwidth = o.bandwidth;

    /* --- CHECKS: the machine before, and the least busy CPU. --- */
    checks::Facts before = record::machine_facts(checks::watch_seconds);
    s.checks_before = checks::judge(before);
    for (const std::string &w : record::check_warnings(s.checks_before, "before the session"))
        warn(&s, w);
    s.model = checks::model_name(before.cpuinfo);
    s.memory_mib = checks::mem_total_mib(before.meminfo);
    const auto *load_before = checks::figures_of<checks::OtherLoad>(s.checks_before);
    s.cpus = load_before != nullptr ? load_before->cpus : 0;
    s.cpu = o.cpu >= 0 ? o.cpu : record::least_busy(allowed, checks::cpu_busy_shares(before.stat_before, before.stat_after));
    if (!plane_setup.warning.empty())
        warn(&s, plane_setup.warning);

    /* --- PIN: every pass runs on the one CPU (the plane's threads pin
     * themselves, each to its own). --- */
    if (!record::pin(s.cpu)) {
        fprintf(stderr, "memsweep-record: can't pin the session to CPU %d: %s\n", s.cpu, strerror(errno));
        return 1;
    }

    /* --- PAGES: advised before the array is first touched, then filled. --- */
    if (!record::advise_pages(data, sizeof data, o.pages))
        warn(&s, std::string("the kernel refused the page advice for the measured memory (") + strerror(errno) +
                     "): its pages are the system's choice");
    init_data(data, DATA_ELEMS);

    /* --- MEMORY: the room that every buffer of the session shares beside
     * memsweep's array.  The latency's buffer takes a quarter of it at most,
     * and the loaded latency's chase as much again; the plane's teams and
     * the loaders share what they leave. --- */
    const double room = memsweep::memory_room(record::available_mib_of(s.checks_before));

    /* --- LATENCY'S BUFFER: one mapping of the largest working set, with
     * the same pages, made resident on this CPU before anything is timed;
     * each size's cycle is built in its first bytes. --- */
    std::vector<uint64_t> latency_bytes;
    if (o.latency)
        latency_bytes = record::latency_sizes(record::caches_of(s.checks_before), room < 0.0 ? room : room / 4.0);
    size_t buffer_bytes = latency_bytes.empty() ? 0 : (size_t)latency_bytes.back();
    void *buffer = nullptr;
    if (buffer_bytes > 0) {
        buffer = record::map_buffer(buffer_bytes);
        if (buffer == nullptr) {
            warn(&s, "can't map " + std::to_string(buffer_bytes >> 20) + " MiB for the latency (" +
                         strerror(errno) + "): the session measures the throughput alone");
            latency_bytes.clear();
        } else {
            if (!record::advise_pages(buffer, buffer_bytes, o.pages))
                warn(&s, std::string("the kernel refused the page advice for the latency's buffer (") +
                             strerror(errno) + "): its pages are the system's choice");
            record::touch_pages(buffer, buffer_bytes);
        }
    }
    std::string smaps = memsweep::file_text("/proc/self/smaps");
    s.huge_share = record::huge_share(smaps, (uintptr_t)data, (uintptr_t)data + sizeof data);
    if (buffer != nullptr)
        s.latency_huge_share = record::huge_share(smaps, (uintptr_t)buffer, (uintptr_t)buffer + buffer_bytes);

    /* --- CLOCK: the counter's own rate, and the rate memsweep would use. --- */
    /* Measured again, now that the session runs on its one CPU: the
     * checks' figure was taken wherever the process then ran, and counters
     * of different CPUs need not agree. */
    s.counter_mhz = counter_mhz();
    if (!(s.counter_mhz > 0.0)) {
        fprintf(stderr, "memsweep-record: can't measure the counter's rate: the system clock can't be read\n");
        record::unmap_buffer(buffer, buffer_bytes);
        return 1;
    }
    s.cpu_mhz = checks::memsweep_rate("/proc/cpuinfo").mhz;
    s.counter_step = record::counter_step();

    /* --- BANDWIDTH PLANE: its kernels, its clock and its teams, every
     * thread pinned and kept for the session; the memory left beside the
     * latency's buffer is shared among the teams. --- */
    std::unique_ptr<record::Plane> plane;
    if (o.bandwidth) {
        plane = record::open_plane(plane_setup, largest_cache(s), room_left(room, buffer_bytes, o.loaded_latency),
                                   o.pages, s.counter_mhz, before.cpuinfo);
        s.plane = plane->facts;
        for (const std::string &note : plane->facts.notes)
            fprintf(stderr, "memsweep-record: note: %s\n", note.c_str());
        if (!plane->error.empty()) {
            s.plane_error = plane->error;
            warn(&s, "the bandwidth plane is left out: " + plane->error);
            plane.reset();
        }
    }

    /* --- LOADED LATENCY: the chase on the session's CPU while the others
     * stream memory, at delays chosen by a first probing run. --- */
    std::unique_ptr<bandwidth::Team> loaded_team;
    void *chase_buffer = nullptr;
    record::LoadedSetup loaded;
    std::vector<record::LoadedPlanPoint> loaded_points;
    std::vector<bw_kernel_fn> loaded_fns;
    int loaders = 0;
    if (o.loaded_latency && buffer != nullptr) {
        record::LoadedCpus cpus = record::loaded_cpus("", allowed, s.cpu);
        if (cpus.cpus.empty()) {
            if (!o.quiet)
                fprintf(stderr, "memsweep-record: %s\n", cpus.note.c_str());
        } else {
            if (!cpus.warning.empty())
                warn(&s, cpus.warning);
            /* The chase's own buffer, beside the latency's, whose points
             * build their cycles in theirs: its cycle is built once. */
            chase_buffer = record::map_buffer(buffer_bytes);
            loaded = {chase_buffer, latency_bytes.back(), o.seed, s.counter_mhz,
                      record::load_bytes_of(latency_bytes.back(), (int)cpus.cpus.size() - 1,
                                            room_left(room, buffer_bytes, true))};
            loaders = (int)cpus.cpus.size() - 1;
            std::string error = chase_buffer == nullptr
                                    ? "can't map " + std::to_string(buffer_bytes >> 20) + " MiB for its chase: " +
                                          strerror(errno)
                                    : "";
            if (error.empty() && !record::advise_pages(chase_buffer, buffer_bytes, o.pages))
                warn(&s, std::string("the kernel refused the page advice for the loaded latency's chase (") +
                             strerror(errno) + "): its pages are the system's choice");
            clock::time_point probe_start = clock::now();
            if (error.empty())
                error = record::open_loaded(cpus.cpus, o.pages, loaded, &loaded_team, &loaded_points, &loaded_fns);
            if (error.empty()) {
                s.loaded_probe_seconds = std::chrono::duration<double>(clock::now() - probe_start).count();
            } else {
                warn(&s, "the loaded latency can't be measured (" + error + "): the session goes on without it");
                loaded_team.reset();
                loaded_points.clear();
                record::unmap_buffer(chase_buffer, buffer_bytes);
                chase_buffer = nullptr;
            }
        }
    }

    /* --- PASSES --- */
    std::string stat_start = memsweep::file_text("/proc/stat");
    double ticks_start = checks::own_ticks();
    clock::time_point session_start = clock::now();
    record::Plan plan;
    plan.passes = o.passes;
    plan.seed = o.seed;
    plan.mhz = s.counter_mhz;
    plan.latency_bytes = latency_bytes;
    plan.latency_buffer = buffer;
    if (plane) {
        plan.plane = plane->points;
        plan.measure_plane = [&plane](size_t i, std::string *why) { return plane->measure(i, why); };
    }
    if (loaded_team) {
        plan.loaded = loaded_points;
        plan.measure_loaded = [&](size_t i, double *gbs, double *ns, std::string *why) {
            record::LoadedPoint p =
                record::measure_loaded(*loaded_team, loaded, loaded_fns[i], loaded_points[i].delay);
            *gbs = p.load_gbs;
            *ns = p.ns;
            *why = p.error;
        };
    }
    /* Fresh pages: each pass after the first gets the measured memory on
     * pages the system chooses again, so that the passes sample the
     * physical placement as separate sessions do. */
    bool renewed = true;
    if (o.fresh_pages)
        plan.renew_pages = [&] {
            renewed = record::give_back_pages(data, sizeof data) && renewed;
            init_data(data, DATA_ELEMS);
            if (buffer != nullptr) {
                renewed = record::give_back_pages(buffer, buffer_bytes) && renewed;
                record::touch_pages(buffer, buffer_bytes);
            }
        };
    bool show = !o.quiet && isatty(2);
    if (show)
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
    s.passes = record::measure(plan);
    s.fresh_pages = o.fresh_pages && o.passes > 1 && renewed;
    if (!renewed)
        warn(&s, "the kernel refused to give back the measured memory's pages: the passes kept the ones they had");
    loaded_team.reset();
    record::unmap_buffer(chase_buffer, buffer_bytes);
    record::unmap_buffer(buffer, buffer_bytes);
    plane.reset();
    if (progress_shown) {
        fputs("\r\033[K", stderr);
        progress_shown = 0;
    }

    /* --- AFTER: what changed over the session, and the checks again. --- */
    if (!s.passes.plane_error.empty()) {
        s.plane_error = s.passes.plane_error;
        warn(&s, "the bandwidth plane ended: " + s.plane_error + "; the session went on without it");
    }
    if (!s.passes.loaded_error.empty())
        warn(&s, "the loaded latency ended: " + s.passes.loaded_error + "; the session went on without it");
    std::string stat_end = memsweep::file_text("/proc/stat");
    s.huge_share_after = record::huge_share(memsweep::file_text("/proc/self/smaps"), (uintptr_t)data, (uintptr_t)data + sizeof data);
    double session_s = std::chrono::duration<double>(clock::now() - session_start).count();
    checks::Check load = checks::load_check(stat_start, stat_end, checks::own_ticks() - ticks_start, session_s);
    s.other_work_cpus = checks::figures_of<checks::OtherLoad>(load).other_work_cpus.value_or(-1.0);
    s.cpu_mhz_after = checks::memsweep_rate("/proc/cpuinfo").mhz;
    s.counter_mhz_after = counter_mhz();
    for (const std::string &w : record::session_warnings(s))
        warn(&s, w);
    s.checks_after = checks::judge(record::machine_facts(checks::watch_seconds));
    s.end = utc(time(nullptr));
    s.seconds = std::chrono::duration<double>(clock::now() - started).count();

    /* --- OUTPUT: the record first, then the table (or the record, for
     * -o -); a write that fails is a failure, with one line. --- */
    int status = 0;
    /* the record's name, once it is written */
    std::string written = out.to_stdout() ? "standard output" : shown_line(o.out);
    bool table_out = !out.to_stdout();
    if (!o.out.empty()) {
        format::Written record = format::write_record(record::model_of(s));
        for (const std::string &w : record.left_out)
            fprintf(stderr, "memsweep-record: %s\n", shown_line(w).c_str());
        if (!record.error.empty()) {
            fprintf(stderr, "memsweep-record: no record %s: %s\n", written.c_str(), record.error.c_str());
            written.clear();
            status = 1;
        } else if (!out.publish(record.text)) {
            if (!table_out)
                fprintf(stderr, "memsweep-record: can't write standard output: %s\n", strerror(errno));
            else
                fprintf(stderr, "memsweep-record: can't write the record %s: %s\n", written.c_str(), strerror(errno));
            written.clear();
            status = 1;
        }
    }
    std::string table = table_out ? record::best_table(s.passes) : "";
    errno = 0;
    if (fwrite(table.data(), 1, table.size(), stdout) != table.size() || fflush(stdout) != 0 || fclose(stdout) != 0) {
        fprintf(stderr, "memsweep-record: can't write standard output: %s\n",
                errno != 0 ? strerror(errno) : "write error");
        if (!table_out)
            written.clear();
        status = 1;
    }
    if (!o.quiet) {
        fprintf(stderr, "memsweep-record: %s\n", record::summary(s, written).c_str());
        std::string latency =
            record::latency_summary(record::latency_medians(s.passes), record::caches_of(s.checks_before));
        if (!latency.empty())
            fprintf(stderr, "memsweep-record: latency: %s\n", latency.c_str());
        std::string bandwidth = record::bandwidth_summary(s.passes, largest_cache(s));
        if (!bandwidth.empty())
            fprintf(stderr, "memsweep-record: %s\n", bandwidth.c_str());
        std::string loaded_line = record::loaded_summary(record::loaded_series(s.passes), record::loaded_peak(s.passes, loaders));
        if (!loaded_line.empty())
            fprintf(stderr, "memsweep-record: %s\n", loaded_line.c_str());
    }
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
            record::parse_options(std::vector<std::string>(command.begin() + (argc > 0), command.end()));
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
