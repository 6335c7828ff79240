// SPDX-License-Identifier: MIT
/*
 * memsweep-plot -- memsweep's tables and memsweep-record's records drawn
 * as pictures, and two of them compared.  The inputs are read by format/'s
 * reader and two are judged by memsweep-compare's library; the picture is
 * decided by picture.h and drawn by gnuplot (gnuplot.h), into a scratch
 * folder, and then given OUTPUT's name in one step (common/outfile.h).
 *
 * For two inputs standard output gets a line per point and a summary, as
 * memsweep-compare's; standard error gets the notes (conditions that
 * differ, the records' warnings) after the picture is in place.
 *
 * Exit status: 0 the picture was written; 1 anything else, with one line.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/options.h"
#include "common/outfile.h"
#include "common/shown.h"
#include "common/std_fds.h"
#include "common/text.h"
#include "format/reader.h"
#include "plot/gnuplot.h"
#include "plot/picture.h"

static const char usage[] =
    "usage: memsweep-plot [-o OUTPUT] [-t TITLE] [-c CACHEDIR] [INPUT [INPUT_B]]\n"
    "  -o OUTPUT    the picture: PNG, or SVG when the name ends in .svg\n"
    "               (default memsweep.png)\n"
    "  -t TITLE     the title (default: the records' CPU model, or this machine's)\n"
    "  -c CACHEDIR  where the caches to mark are described, as\n"
    "               /sys/devices/system/cpu/cpu0/cache; \"none\" marks nothing\n"
    "               (default: a record's own list, else that folder)\n"
    "  -h, --help   print this help\n"
    "An input is a memsweep table or a memsweep-record record (\"-\" or none:\n"
    "standard input).  One is drawn as a surface and a heat map, with a record's\n"
    "latency, bandwidth and loaded latency beside them; two as the ratio B / A\n"
    "per cell, judged as memsweep-compare judges them, with a line per point on\n"
    "standard output.  Exit status: 0 the picture was written, 1 it was not.\n";

static const char default_caches[] = "/sys/devices/system/cpu/cpu0/cache";

/* say writes one line on standard error, its text shown on one line. */
static void say(const std::string &line)
{
    fprintf(stderr, "memsweep-plot: %s\n", shown_line(line).c_str());
}

/* fail says why, and is the exit status of a failure. */
static int fail(const std::string &why)
{
    say(why);
    return 1;
}

namespace
{
/* What the command line asks. */
struct Options {
    std::string out = "memsweep.png", title, cache_dir = default_caches;
    bool title_named = false, cache_named = false;
    std::vector<std::string> inputs;
};
}  // namespace

static const std::vector<memsweep::OptionSpec> known = {
    {"-o", memsweep::Takes::value}, {"-t", memsweep::Takes::value}, {"-c", memsweep::Takes::value},
    {"-h", memsweep::Takes::nothing}, {"--help", memsweep::Takes::nothing},
};

/* parse_options fills *o; -1 to go on, else the exit status. */
static int parse_options(int argc, char **argv, Options *o)
{
    memsweep::CommandLine line =
        memsweep::read_command_line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), known, true);
    for (const memsweep::Word &w : line.words) {
        if (w.name.empty()) {
            o->inputs.push_back(w.value);
        } else if (w.name == "-h" || w.name == "--help") {
            fputs(usage, stdout);
            return 0;
        } else if (w.name == "-o") {
            o->out = w.value;
        } else if (w.name == "-t") {
            o->title = w.value;
            o->title_named = true;
        } else if (w.name == "-c") {
            o->cache_dir = w.value;
            o->cache_named = true;
        }
    }
    if (!line.fault.empty()) {
        fputs(memsweep::usage_error("memsweep-plot", line.fault, usage).c_str(), stderr);
        return 1;
    }
    if (o->inputs.size() > 2)
        return fail("at most two inputs, got " + std::to_string(o->inputs.size()));
    if (o->inputs.empty())
        o->inputs.push_back("-");
    if (o->inputs.size() == 2 && o->inputs[0] == "-" && o->inputs[1] == "-")
        return fail("standard input can be one of the inputs, not both");
    return -1;
}

/* format_of is the picture's format by OUTPUT's ending, either case; "" for
 * neither. */
static std::string format_of(const std::string &out)
{
    auto ends = [&](const char *ending) {
        return out.size() >= 4 && strcasecmp(out.c_str() + out.size() - 4, ending) == 0;
    };
    return ends(".svg") ? "svg" : ends(".png") ? "png" : "";
}

/* ====================== The scratch folder ====================== */

/* The scratch folder and gnuplot's process, for the signal handler. */
static char scratch[PATH_MAX];
static volatile int gnuplot_child = 0;

/* forget_scratch removes the scratch folder's files and the folder, and
 * stops gnuplot; async-signal-safe. */
static void forget_scratch()
{
    if (gnuplot_child > 0)
        kill(gnuplot_child, SIGTERM);
    if (scratch[0] == '\0')
        return;
    int folder = open(scratch, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        for (const char *name : plot::scratch_files)
            unlinkat(folder, name, 0);
        close(folder);
    }
    rmdir(scratch);
}

/* make_scratch makes the scratch folder in TMPDIR (else /tmp), by an
 * absolute path; "" or why not. */
static std::string make_scratch()
{
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    if (base[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) == nullptr)
            return std::string("can't make a scratch folder: ") + strerror(errno);
        base = std::string(here) + "/" + base;
    }
    std::string pattern = base + "/memsweep-plot.XXXXXX";
    if (pattern.size() >= sizeof scratch - 32)
        return "can't make a scratch folder in " + base + ": its name is too long";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return "can't make a scratch folder in " + base + ": " + strerror(errno) + " (is TMPDIR writable?)";
    memcpy(scratch, name.data(), name.size());
    return "";
}

/* whole_file reads a file whole; false where it can't. */
static bool whole_file(const std::string &path, std::string *text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char block[65536];
    ssize_t n = 0;
    while ((n = read(fd, block, sizeof block)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text->append(block, (size_t)n);
    }
    close(fd);
    return n == 0;
}

/* ====================== main ====================== */

static int run(int argc, char **argv, int closed)
{
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0)
        return status;
    std::string format = format_of(o.out);
    if (format.empty())
        return fail(o.out + ": the picture's name must end in .png or .svg");
    /* The picture's file, settled before any input is read: a folder, a
     * device, a FIFO there is refused and left as it is. */
    outfile::File picture;
    std::string why = picture.create(o.out);
    if (!why.empty())
        return fail(o.out + ": can't write it: " + why);
    if (!plot::gnuplot_found())
        return fail("gnuplot not found: install gnuplot-nox (scripts/setup does)");
    std::string program = plot::program_path();
    if (program.empty())
        return fail("can't find its gnuplot program, memsweep-plot.gp, beside it or in " +
                    std::string(MEMSWEEP_PLOT_DATADIR));

    plot::Inputs in;
    for (const std::string &input : o.inputs) {
        bool is_stdin = input == "-";
        std::string name = is_stdin ? "standard input" : input;
        format::Record r;
        std::string error;
        if (is_stdin && (closed & 1) != 0)
            error = "closed, not a record or a table";
        if (!error.empty() || !format::read_file(input, &r, &error))
            return fail(name.append(": ").append(error));
        in.names.push_back(name);
        in.records.push_back(std::move(r));
    }
    in.title = o.title;
    in.caches_named = o.cache_named;
    if (o.cache_dir != "none") {
        struct stat st {
        };
        if (stat(o.cache_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            in.caches = plot::caches_in(o.cache_dir);
        else if (o.cache_named)
            say(o.cache_dir + ": no such folder: the picture has no cache marks");
    }
    if (!o.title_named)
        in.machine_title = plot::machine_title("/proc/cpuinfo");

    plot::Picture p;
    why = plot::picture_of(in, &p);
    if (!why.empty())
        return fail(why);

    why = make_scratch();
    if (why.empty())
        why = plot::write_data(p, format, scratch);
    if (why.empty())
        why = plot::run_gnuplot(program, scratch, &gnuplot_child);
    std::string drawn;
    if (why.empty() && !whole_file(std::string(scratch) + "/picture", &drawn))
        why = "can't read the picture gnuplot drew";
    forget_scratch();
    scratch[0] = '\0';
    if (!why.empty())
        return fail(why);

    /* The report goes out before the picture is put in place, so that a
     * report that can't be written leaves no picture. */
    if (!p.report.empty() &&
        (fwrite(p.report.data(), 1, p.report.size(), stdout) != p.report.size() || fflush(stdout) != 0))
        return fail("can't write standard output");
    if (!picture.publish(drawn))
        return fail(o.out + ": can't write it: " + strerror(errno));
    for (const std::string &note : p.notes)
        say(note);
    return 0;
}

int main(int argc, char **argv)
{
    int closed = open_std_fds();
    outfile::catch_signals(forget_scratch);
    signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv, closed);
    } catch (const std::bad_alloc &) {
        forget_scratch();
        return fail("stopped: out of memory");
    } catch (const std::exception &e) {
        forget_scratch();
        return fail(std::string("stopped: ") + e.what());
    }
}
