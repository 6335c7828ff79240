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
 *   5. passes over the grid and the load-to-use latency's working sets,
 *      each pass in a shuffled order, with a drift watch (a fixed
 *      core-bound cell measured again every few seconds);
 *   6. the checks again, and what changed over the session.
 *
 * Standard output gets the median of every cell in memsweep's layout, with
 * one decimal; -o FILE gets the whole record as JSON (memsweep-record(1)),
 * the latency with it.  Warnings go to standard error, one line each, and a
 * summary after them, with one line of latency by cache level.
 *
 * Exit status: 0 when a record was made, warnings or not; 1 when it could
 * not be (the counter's rate can't be measured, a write failed); 2 for a
 * usage error; 130 when stopped by Ctrl-C.  A record is written whole or
 * not at all.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "check/checks.h"
#include "clock/clock.h"
#include "record/facts.h"
#include "common/files.h"
#include "record/json.h"
#include "record/latency.h"
#include "record/machine.h"
#include "record/report.h"
#include "record/session.h"
#include "sweep/sweep.h"

using record::json;

/* Seeds are kept below 2^53, so that any JSON reader keeps them exact. */
static const uint64_t seed_limit = uint64_t(1) << 53;

static const char usage[] =
    "usage: memsweep-record [-o FILE] [--passes N] [--seed S] [--cpu N]\n"
    "                       [--pages system|small|huge] [--no-latency] [--quiet]\n"
    "  -o, --json FILE  write the whole record to FILE as JSON\n"
    "  --passes N       measure every cell N times, 1 to 100 (default 5)\n"
    "  --seed S         the seed of the passes' random orders (default: a new one)\n"
    "  --cpu N          run on CPU N (default: the least busy of those allowed)\n"
    "  --pages MODE     system: as the machine has it (default); small: no huge\n"
    "                   pages for the measured memory; huge: ask for huge pages\n"
    "  --no-latency     measure the throughput alone, not the load-to-use latency\n"
    "  --quiet          no progress line and no summary lines\n"
    "  -h, --help       print this help\n"
    "Standard output: the median table in memsweep's layout.  Exit status: 0 a record\n"
    "was made, 1 it could not be, 2 usage error, 130 stopped by Ctrl-C.\n";

/* ====================== Options ====================== */

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
    record::Pages pages = record::Pages::system;
    std::string out; /* the record's path; "" for none */
    bool quiet = false;
    bool latency = true;
};

/* shown makes a command-line word fit for one line: a control character
 * becomes '?'. */
static std::string shown(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; }, '?');
    return text;
}

/* usage_error reports a bad command line in one line, then the usage. */
static int usage_error(const std::string &message)
{
    fprintf(stderr, "memsweep-record: %s\n%s", shown(message).c_str(), usage);
    return 2;
}

/* whole_number reads a decimal number from min to max, digits only. */
static bool whole_number(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = strtoull(text.c_str(), nullptr, 10);
    return *value <= max;
}

/* parse_options fills *o from the command line; it returns -1 to go on,
 * else the exit status. */
static int parse_options(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i], value;
        size_t eq = arg.find('=');
        std::string name = arg.compare(0, 2, "--") == 0 && eq != std::string::npos ? arg.substr(0, eq) : arg;
        bool takes_value = name == "-o" || name == "--json" || name == "--passes" || name == "--seed" ||
                           name == "--cpu" || name == "--pages";
        if (takes_value) {
            if (name != arg)
                value = arg.substr(eq + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return usage_error(name + " needs a value");
        }
        uint64_t n = 0;
        if (arg == "-h" || arg == "--help") {
            fputs(usage, stdout);
            return 0;
        } else if (arg == "--quiet") {
            o->quiet = true;
        } else if (arg == "--no-latency") {
            o->latency = false;
        } else if (name == "-o" || name == "--json") {
            if (value.empty())
                return usage_error(name + " needs a file name");
            o->out = value;
        } else if (name == "--passes") {
            if (!whole_number(value, 100, &n) || n < 1)
                return usage_error("--passes: not a number from 1 to 100: " + value);
            o->passes = (int)n;
        } else if (name == "--seed") {
            if (!whole_number(value, seed_limit - 1, &n))
                return usage_error("--seed: not a whole number below 2^53: " + value);
            o->seed = n;
            o->seed_given = true;
        } else if (name == "--cpu") {
            if (!whole_number(value, INT_MAX, &n))
                return usage_error("--cpu: not a CPU number: " + value);
            o->cpu = (int)n;
        } else if (name == "--pages") {
            if (value == "system")
                o->pages = record::Pages::system;
            else if (value == "small")
                o->pages = record::Pages::small;
            else if (value == "huge")
                o->pages = record::Pages::huge;
            else
                return usage_error("--pages: system, small or huge, not " + value);
        } else {
            return usage_error("unknown argument: " + arg);
        }
    }
    return -1;
}

/* ====================== The record's file ====================== */

/* The record's file is opened before anything is measured, so that a path
 * that can't be written is a usage error, not a lost session.  Where the
 * file system can, it is an unnamed file in the record's folder
 * (O_TMPFILE), of which nothing is left by any end of the process, even a
 * kill; elsewhere it is a named temporary file beside the record, which a
 * failure or a signal removes.  At the end it takes the record's name in
 * one step: no half-written record is ever seen. */
static int temp_fd = -1;
static bool temp_unnamed = false;
static char temp_path[PATH_MAX]; /* the named temporary file; "" while there is none */
static volatile sig_atomic_t progress_shown = 0; /* a progress line waits for its line end */

/* on_signal removes the temporary file, ends the line of progress, and
 * then lets the signal end the process as it would have, so that a shell
 * running sessions in a loop sees Ctrl-C for what it is. */
static void on_signal(int sig)
{
    if (temp_path[0] != '\0')
        unlink(temp_path);
    if (progress_shown) {
        ssize_t ignored = write(2, "\n", 1);
        (void)ignored;
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

/* Signals wait while a temporary file's name is made, given or taken, so
 * that the handler never misses a file it should remove. */
struct SignalsWait {
    sigset_t old;
    SignalsWait()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
    }
    ~SignalsWait() { sigprocmask(SIG_SETMASK, &old, nullptr); }
    SignalsWait(const SignalsWait &) = delete;
    SignalsWait &operator=(const SignalsWait &) = delete;
};

/* make_named makes a named temporary file beside path, readable as any
 * file the user makes; false, with errno set, when it can't. */
static bool make_named(const std::string &path)
{
    std::string temp = path + ".partial.XXXXXX";
    if (temp.size() >= sizeof temp_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    SignalsWait wait;
    memcpy(temp_path, temp.c_str(), temp.size() + 1);
    temp_fd = mkstemp(temp_path);
    if (temp_fd < 0) {
        temp_path[0] = '\0';
        return false;
    }
    /* mkstemp makes the file for its owner alone. */
    mode_t mask = umask(0);
    umask(mask);
    fchmod(temp_fd, 0666 & ~mask);
    return true;
}

/* open_temp opens the record's file for path; false, with errno set, when
 * it can't. */
static bool open_temp(const std::string &path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    temp_fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (temp_fd >= 0) {
        temp_unnamed = true;
        return true;
    }
    /* A file system or kernel without unnamed files says so in one of
     * these ways; any other failure is the folder's own. */
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
    return make_named(path);
}

/* remove_temp closes and removes the temporary file, if there is one. */
static void remove_temp()
{
    SignalsWait wait;
    if (temp_fd >= 0)
        close(temp_fd);
    temp_fd = -1;
    if (temp_path[0] != '\0')
        unlink(temp_path);
    temp_path[0] = '\0';
}

/* write_all writes the whole text to fd and has it reach the disk. */
static bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return fsync(fd) == 0;
}

/* name_unnamed gives the unnamed file the record's name: directly where
 * there is no file of that name yet, else under a temporary name that then
 * replaces it.  It needs /proc; false when that fails. */
static bool name_unnamed(const std::string &path)
{
    std::string self = "/proc/self/fd/" + std::to_string(temp_fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string temp = path + ".partial." + std::to_string(getpid()) + "." + std::to_string(attempt);
        if (temp.size() >= sizeof temp_path) {
            errno = ENAMETOOLONG;
            return false;
        }
        SignalsWait wait;
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        memcpy(temp_path, temp.c_str(), temp.size() + 1);
        bool renamed = rename(temp_path, path.c_str()) == 0;
        int saved = errno;
        if (!renamed)
            unlink(temp_path);
        temp_path[0] = '\0';
        errno = saved;
        return renamed;
    }
    return false;
}

/* write_record writes the record's text and gives it the record's name;
 * false, with errno set and no file left, when that fails. */
static bool write_record(const std::string &text, const std::string &path)
{
    if (!write_all(temp_fd, text))
        return false;
    if (temp_unnamed) {
        if (name_unnamed(path)) {
            /* The text has reached the disk already (fsync). */
            close(temp_fd);
            temp_fd = -1;
            return true;
        }
        /* No /proc to name it by: the text goes to a named file instead. */
        close(temp_fd);
        temp_fd = -1;
        temp_unnamed = false;
        if (!make_named(path) || !write_all(temp_fd, text))
            return false;
    }
    if (close(temp_fd) != 0) {
        temp_fd = -1;
        return false;
    }
    temp_fd = -1;
    SignalsWait wait;
    if (rename(temp_path, path.c_str()) != 0)
        return false;
    temp_path[0] = '\0';
    return true;
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

/* session is the whole command; main catches what it throws. */
static int session(int argc, char **argv)
{
    using clock = std::chrono::steady_clock;
    clock::time_point started = clock::now();

    /* --- OPTIONS: every usage error before anything is measured. --- */
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0)
        return status;
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
    /* A signal that was ignored when the command started (nohup, a job
     * started in the background) stays ignored. */
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {
        };
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            signal(sig, on_signal);
    }
    /* A reader that goes away is a write that fails, with its one line. */
    signal(SIGPIPE, SIG_IGN);
    if (!o.out.empty() && !open_temp(o.out))
        return usage_error("-o: can't write " + o.out + ": " + strerror(errno));
    if (!o.seed_given)
        o.seed = (((uint64_t)std::random_device{}() << 32) ^ std::random_device{}()) % seed_limit;

    record::Session s;
    s.version = MEMSWEEP_VERSION;
    s.command.assign(argv, argv + argc);
    s.start = utc(time(nullptr));
    s.seed = o.seed;
    s.pages = o.pages;

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

    /* --- PIN: every pass runs on the one CPU. --- */
    if (!record::pin(s.cpu)) {
        fprintf(stderr, "memsweep-record: can't pin the session to CPU %d: %s\n", s.cpu, strerror(errno));
        remove_temp();
        return 1;
    }

    /* --- PAGES: advised before the array is first touched, then filled. --- */
    if (!record::advise_pages(data, sizeof data, o.pages))
        warn(&s, std::string("the kernel refused the page advice for the measured memory (") + strerror(errno) +
                     "): its pages are the system's choice");
    init_data(data, DATA_ELEMS);

    /* --- LATENCY'S BUFFER: one mapping of the largest working set, with
     * the same pages, made resident on this CPU before anything is timed;
     * each size's cycle is built in its first bytes. --- */
    std::vector<uint64_t> latency_bytes;
    if (o.latency)
        latency_bytes = record::latency_sizes(record::caches_of(s.checks_before),
                                              record::available_mib_of(s.checks_before));
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
        remove_temp();
        record::unmap_buffer(buffer, buffer_bytes);
        return 1;
    }
    s.cpu_mhz = checks::memsweep_rate("/proc/cpuinfo").mhz;
    s.counter_step = record::counter_step();

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
    record::unmap_buffer(buffer, buffer_bytes);
    if (progress_shown) {
        fputs("\r\033[K", stderr);
        progress_shown = 0;
    }

    /* --- AFTER: what changed over the session, and the checks again. --- */
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

    /* --- OUTPUT: the record first, then the table; a write that fails is a
     * failure, with one line. --- */
    status = 0;
    std::string written = shown(o.out); /* the record's name, once it is written */
    if (!o.out.empty()) {
        std::string text = record::record_json(s).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
        if (!write_record(text, o.out)) {
            fprintf(stderr, "memsweep-record: can't write the record %s: %s\n", written.c_str(), strerror(errno));
            remove_temp();
            written.clear();
            status = 1;
        }
    }
    std::string table = record::median_table(s.passes);
    errno = 0;
    if (fwrite(table.data(), 1, table.size(), stdout) != table.size() || fflush(stdout) != 0 || fclose(stdout) != 0) {
        fprintf(stderr, "memsweep-record: can't write standard output: %s\n",
                errno != 0 ? strerror(errno) : "write error");
        status = 1;
    }
    if (!o.quiet) {
        fprintf(stderr, "memsweep-record: %s\n", record::summary(s, written).c_str());
        std::string latency =
            record::latency_summary(record::latency_medians(s.passes), record::caches_of(s.checks_before));
        if (!latency.empty())
            fprintf(stderr, "memsweep-record: latency: %s\n", latency.c_str());
    }
    return status;
}

int main(int argc, char **argv)
{
    /* Nothing is expected to throw; should something (memory running out,
     * say), it ends the command with one line and no file left behind. */
    try {
        return session(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "memsweep-record: stopped: %s\n", e.what());
        remove_temp();
        return 1;
    }
}
