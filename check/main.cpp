// SPDX-License-Identifier: MIT
/*
 * memsweep-check -- can the table memsweep is about to make be trusted?
 *
 * It reads this machine's /proc and /sys (or those below --root DIR),
 * measures the counter's rate, watches the "cpu MHz" line and the other
 * work for about a second, and prints one line per check: ok, warn or info,
 * the check's name, its figures and, where there is more to say, what
 * they mean for memsweep's table and what to do about it.  --json prints
 * the same as one JSON object instead; --json=FILE writes that object to
 * FILE, and the lines to standard output as without it ("-": standard
 * output, as --json alone).
 *
 * Exit status: 0 when nothing warns, 1 when something does (or the report
 * could not be written), 2 for a usage error.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "check/checks.h"
#include "common/options.h"
#include "common/shown.h"
#include "common/std_fds.h"
#include "common/outfile.h"

/* The usage, printed by -h and after a usage error. */
static const char usage[] =
    "usage: memsweep-check [--json[=FILE]] [--root DIR]\n"
    "  --json       print the report as one JSON object, in the lines' place\n"
    "  --json=FILE  write that object to FILE, and the lines to standard output\n"
    "               (\"-\": standard output, as --json alone)\n"
    "  --root DIR   read DIR/proc/... and DIR/sys/... instead of /proc and /sys\n"
    "               (another machine's files: its clock rate is shown, not judged)\n"
    "  -h, --help   print this help\n"
    "Exit status: 0 nothing warns, 1 something warns, 2 usage error.\n";

/* The options memsweep-check knows. */
static const std::vector<memsweep::OptionSpec> known = {
    {"-h", memsweep::Takes::nothing},
    {"--help", memsweep::Takes::nothing},
    {"--json", memsweep::Takes::optional},
    {"--root", memsweep::Takes::value},
};

/* usage_error reports a bad command line in one line, then the usage; a
 * control character in an argument is shown as '?', so the line stays one
 * and the terminal obeys none of it. */
static int usage_error(const std::string &message)
{
    fputs(memsweep::usage_error("memsweep-check", message, usage).c_str(), stderr);
    return 2;
}

/* write_out writes text to standard output whole; false, with one line on
 * standard error, when that fails. */
static bool write_out(const std::string &text)
{
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0 ||
        fclose(stdout) != 0) {
        fprintf(stderr, "memsweep-check: can't write standard output: %s\n",
                errno != 0 ? strerror(errno) : "write error");
        return false;
    }
    return true;
}

/* run checks and reports; main removes the report's file, if any, on every
 * way out but the one that gives it its name. */
static int run(int argc, char **argv)
{
    /* --- OPTIONS --- */
    std::string json_out; /* "" for the lines alone, "-" for standard output */
    std::string root;
    bool root_given = false;
    memsweep::CommandLine line =
        memsweep::read_command_line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), known, false);
    for (const memsweep::Word &w : line.words) {
        if (w.name == "-h" || w.name == "--help") {
            fputs(usage, stdout);
            return 0;
        }
        if (w.name == "--json") {
            json_out = w.has_value ? w.value : "-";
        } else if (w.name == "--root") {
            root = w.value;
            root_given = true;
        }
    }
    if (!line.fault.empty())
        return usage_error(line.fault);
    if (root_given) {
        struct stat st {
        };
        if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return usage_error("--root: not a folder: " + root);
        /* "/" and "/x/" name the same files as "" and "/x". */
        while (!root.empty() && root.back() == '/')
            root.pop_back();
    }
    const bool json_file = !json_out.empty() && json_out != "-";
    /* The report's file, gone on every way out but the one that gives it
     * its name. */
    outfile::File report;
    if (json_file) {
        outfile::catch_signals(nullptr);
        std::string why = report.create(json_out);
        if (!why.empty())
            return usage_error("--json: can't write " + json_out + ": " + why);
    }

    /* --- CHECKS --- */
    std::vector<checks::Check> results = checks::run_checks(root, checks::watch_seconds);

    /* --- REPORT: a report that did not reach its reader is a failure. --- */
    int status = checks::exit_status(results);
    if (json_file && !report.publish(checks::format_json(results, root))) {
        fprintf(stderr, "memsweep-check: can't write the report %s: %s\n", shown_line(json_out).c_str(),
                strerror(errno));
        status = 1;
    }
    if (!write_out(json_out == "-" ? checks::format_json(results, root) : checks::format_text(results)))
        status = 1;
    return status;
}

int main(int argc, char **argv)
{
    open_std_fds();
    return run(argc, argv);
}
