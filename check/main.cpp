// SPDX-License-Identifier: MIT
/*
 * memsweep-check -- can the table memsweep is about to make be trusted?
 *
 * It reads this machine's /proc and /sys (or those below --root DIR),
 * measures the counter's rate, watches the "cpu MHz" line and the other
 * work for about a second, and prints one line per check: ok, warn or info,
 * the check's name, its figures and, where there is more to say, what
 * they mean for memsweep's table and what to do about it.  --json prints
 * the same as one JSON object.
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
#include "common/shown.h"
#include "common/std_fds.h"

/* The usage, printed by -h and after a usage error. */
static const char usage[] =
    "usage: memsweep-check [--json] [--root DIR]\n"
    "  --json      print the report as one JSON object\n"
    "  --root DIR  read DIR/proc/... and DIR/sys/... instead of /proc and /sys\n"
    "              (another machine's files: its clock rate is shown, not judged)\n"
    "  -h, --help  print this help\n"
    "Exit status: 0 nothing warns, 1 something warns, 2 usage error.\n";

/* usage_error reports a bad command line in one line, then the usage; a
 * control character in an argument is shown as '?', so the line stays one
 * and the terminal obeys none of it. */
static int usage_error(const std::string &message)
{
    fprintf(stderr, "memsweep-check: %s\n%s", shown_line(message).c_str(), usage);
    return 2;
}

int main(int argc, char **argv)
{
    open_std_fds();

    /* --- OPTIONS --- */
    bool as_json = false;
    std::string root;
    bool root_given = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            fputs(usage, stdout);
            return 0;
        } else if (arg == "--json") {
            as_json = true;
        } else if (arg == "--root" || arg.compare(0, 7, "--root=") == 0) {
            if (arg == "--root" && i + 1 == argc)
                return usage_error("--root needs a folder");
            root = arg == "--root" ? argv[++i] : arg.substr(7);
            root_given = true;
        } else {
            return usage_error("unknown argument: " + arg);
        }
    }
    if (root_given) {
        struct stat st {
        };
        if (root.empty() || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return usage_error("--root: not a folder: " + root);
        /* "/" and "/x/" name the same files as "" and "/x". */
        while (!root.empty() && root.back() == '/')
            root.pop_back();
    }

    /* --- CHECKS --- */
    std::vector<checks::Check> results = checks::run_checks(root, checks::watch_seconds);

    /* --- REPORT: a report that did not reach its reader is a failure. --- */
    std::string report = as_json ? checks::format_json(results, root) : checks::format_text(results);
    errno = 0;
    if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0 ||
        fclose(stdout) != 0) {
        fprintf(stderr, "memsweep-check: can't write standard output: %s\n",
                errno != 0 ? strerror(errno) : "write error");
        return 1;
    }
    return checks::exit_status(results);
}
