// SPDX-License-Identifier: MIT
/*
 * gnuplot.cpp -- the picture's data and variables written, and gnuplot run
 * on them.
 */
#include "plot/gnuplot.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/files.h"
#include "common/shown.h"

namespace plot
{

const char *const scratch_files[8] = {"variables.gp", "cells.dat", "latency.dat", "bandwidth.dat",
                                      "loaded.dat",   "knees.dat", "picture",     "gnuplot.log"};

std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : shown_line(text)) {
        if (c == '\'')
            out += "''";
        else
            out += c;
    }
    return out + "'";
}

std::string number(double value)
{
    if (!isfinite(value))
        return "NaN";
    double size = fabs(value);
    if (size > 0.0 && size < 1e-300)
        value = copysign(1e-300, value);
    else if (size > 1e300)
        value = copysign(1e300, value);
    char text[64];
    snprintf(text, sizeof text, "%.10g", value);
    return text;
}

/* ====================== The variables ====================== */

/* Lines of "name = value" for gnuplot. */
class Names
{
   public:
    void set(const std::string &name, const std::string &value) { text_ += name + " = " + value + "\n"; }
    void number(const std::string &name, double value) { set(name, plot::number(value)); }
    void whole(const std::string &name, long value) { set(name, std::to_string(value)); }
    void text(const std::string &name, const std::string &value) { set(name, quoted(value)); }
    /* array writes an array of n values, of 1 where n is 0 (gnuplot has no
     * empty arrays); its length is a variable of its own. */
    template <class F> void array(const std::string &name, size_t n, F item)
    {
        text_ += "array " + name + "[" + std::to_string(std::max<size_t>(n, 1)) + "]\n";
        for (size_t i = 0; i < n; i++)
            text_ += name + "[" + std::to_string(i + 1) + "] = " + item(i) + "\n";
    }
    const std::string &str() const { return text_; }

   private:
    std::string text_;
};

/* A range of figures: the least and the most of them. */
struct Span {
    double low = HUGE_VAL, high = -HUGE_VAL;
    void add(double v)
    {
        if (isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    bool empty() const { return !(low <= high); }
};

/* log_range writes a log axis' range, a quarter beyond the figures above 0
 * either way, and wider where they are all one. */
static void log_range(Names *n, const std::string &name, const std::vector<Curve> &curves, bool x)
{
    Span s;
    for (const Curve &c : curves)
        for (const Row &r : c.rows)
            for (double v : x ? std::vector<double>{r.x} : std::vector<double>{r.y, r.low, r.high})
                if (v > 0.0)
                    s.add(std::min(std::max(v, 1e-300), 1e300));
    if (s.empty())
        s = {1.0, 2.0};
    n->number(name + "_low", s.low / 1.25);
    n->number(name + "_high", s.high * (s.high > s.low ? 1.25 : 2.0));
}

/* curve_arrays writes a panel's curves' titles, colours and dashes. */
static void curve_arrays(Names *n, const std::string &name, const std::vector<Curve> &curves)
{
    n->whole(name + "_count", (long)curves.size());
    n->array(name + "_title", curves.size(), [&](size_t i) { return quoted(curves[i].title); });
    n->array(name + "_colour", curves.size(), [&](size_t i) { return quoted(curves[i].colour); });
    n->array(name + "_dash", curves.size(), [&](size_t i) { return std::to_string(curves[i].dash); });
}

std::string variables(const Picture &p, const std::string &format)
{
    Names n;
    n.text("format", format);
    n.whole("width", p.layout.width);
    n.whole("height", p.layout.height);
    n.whole("columns", p.layout.columns);
    n.whole("rows", p.layout.rows);
    n.whole("two", p.two ? 1 : 0);
    n.text("title", p.title);
    n.text("heading", p.heading);
    n.whole("caption_count", (long)p.caption.size());
    n.array("caption", p.caption.size(), [&](size_t i) { return quoted(p.caption[i]); });
    n.whole("min_label", p.grid.min_label);
    n.whole("max_label", p.grid.max_label);
    n.whole("min_stride", p.grid.min_stride);
    n.whole("max_stride", p.grid.max_stride);
    n.number("scale", p.scale);
    n.whole("mark_count", (long)p.marks.size());
    n.array("mark_x", p.marks.size(), [&](size_t i) { return plot::number(p.marks[i].x); });
    n.array("mark_name", p.marks.size(), [&](size_t i) { return quoted(p.marks[i].name); });
    n.array("mark_size", p.marks.size(), [&](size_t i) { return quoted(p.marks[i].size); });
    n.array("mark_bytes", p.marks.size(), [&](size_t i) { return plot::number((double)p.marks[i].bytes); });

    curve_arrays(&n, "latency", p.latency);
    log_range(&n, "latency_x", p.latency, true);
    log_range(&n, "latency_y", p.latency, false);

    curve_arrays(&n, "bandwidth", p.bandwidth);
    log_range(&n, "bandwidth_x", p.bandwidth, true);
    log_range(&n, "bandwidth_y", p.bandwidth, false);
    n.number("bandwidth_scale", p.bandwidth_scale);
    n.whole("bandwidth_key_outside", p.bandwidth_key_outside ? 1 : 0);
    n.text("plateau", p.plateau);

    curve_arrays(&n, "loaded", p.loaded);
    Span load;
    Span ns;
    for (const Curve &c : p.loaded)
        for (const Row &r : c.rows) {
            load.add(std::min(r.x, 1e300));
            ns.add(std::min(std::max({r.y, r.high}), 1e300));
        }
    n.number("loaded_x_high", !load.empty() && load.high > 0.0 ? load.high * 1.05 : 1.0);
    n.number("loaded_y_high", !ns.empty() && ns.high > 0.0 ? ns.high * 1.1 : 1.0);
    n.whole("loaded_key_outside", p.loaded_key_outside ? 1 : 0);
    n.whole("knees", (long)p.knees.size());
    return n.str();
}

/* ====================== The data ====================== */

/* blocks writes curves as data blocks, two empty lines apart, each row
 * "x y low high point". */
static std::string blocks(const std::vector<Curve> &curves)
{
    std::string out;
    for (const Curve &c : curves) {
        for (const Row &r : c.rows)
            out += number(r.x) + " " + number(r.y) + " " + number(r.low) + " " + number(r.high) + " " +
                   std::to_string(r.point) + "\n";
        out += "\n\n";
    }
    return out;
}

/* cells writes the grid a size a block, each line "label stride value
 * flag text" ("-" for no text). */
static std::string cells(const Picture &p)
{
    std::string out;
    int label = 0;
    for (const Cell &c : p.cells) {
        if (label != 0 && c.label != label)
            out += "\n";
        label = c.label;
        out += std::to_string(c.label) + " " + std::to_string(c.stride) + " " + number(c.value) + " " +
               std::to_string(c.flag) + " " + (c.text.empty() ? "-" : c.text) + "\n";
    }
    return out;
}

/* put writes text to folder/name; "" or why not. */
static std::string put(const std::string &folder, const std::string &name, const std::string &text)
{
    std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return "can't write the scratch folder " + folder + ": " + strerror(errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            close(fd);
            return "can't write the scratch folder " + folder + ": " + strerror(error);
        }
        done += (size_t)n;
    }
    if (close(fd) != 0)
        return "can't write the scratch folder " + folder + ": " + strerror(errno);
    return "";
}

std::string write_data(const Picture &p, const std::string &format, const std::string &folder)
{
    std::string knees;
    for (const Knee &k : p.knees)
        knees += number(k.gbs) + " " + number(k.ns) + "\n";
    const std::pair<const char *, std::string> files[] = {
        {"variables.gp", variables(p, format)},
        {"cells.dat", cells(p)},
        {"latency.dat", blocks(p.latency)},
        {"bandwidth.dat", blocks(p.bandwidth)},
        {"loaded.dat", blocks(p.loaded)},
        {"knees.dat", knees},
    };
    for (const auto &f : files) {
        std::string why = put(folder, f.first, f.second);
        if (!why.empty())
            return why;
    }
    return "";
}

/* ====================== gnuplot ====================== */

/* folder_of is the folder a path is in. */
static std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string program_path()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::vector<std::string> places;
    if (n > 0) {
        std::string here = folder_of(std::string(self, (size_t)n));
        places.push_back(here + "/memsweep-plot.gp");
        places.push_back(folder_of(here) + "/share/memsweep/memsweep-plot.gp");
    }
    places.push_back(std::string(MEMSWEEP_PLOT_DATADIR) + "/memsweep-plot.gp");
    for (const std::string &p : places) {
        struct stat st {
        };
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), R_OK) == 0)
            return p;
    }
    return "";
}

bool gnuplot_found()
{
    const char *path = getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = (folder.empty() ? "." : folder) + "/gnuplot";
        struct stat st {
        };
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::vector<std::string> child_environment(char *const *environment)
{
    std::vector<std::string> env;
    std::string all;
    for (char *const *e = environment; *e != nullptr; e++) {
        std::string entry = *e;
        if (entry.compare(0, 7, "LC_ALL=") == 0)
            all = entry.substr(7);
        else
            env.push_back(entry);
    }
    if (!all.empty()) {
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [](const std::string &e) { return e.compare(0, 3, "LC_") == 0 ||
                                                                   e.compare(0, 5, "LANG=") == 0; }),
                  env.end());
        env.push_back("LANG=" + all);
    }
    env.erase(std::remove_if(env.begin(), env.end(),
                             [](const std::string &e) { return e.compare(0, 11, "LC_NUMERIC=") == 0; }),
              env.end());
    env.push_back("LC_NUMERIC=C");
    return env;
}

/* first_error is the first line of gnuplot's log that names an error, else
 * its first line. */
static std::string first_error(const std::string &log)
{
    std::istringstream in(log);
    std::string line;
    std::string first;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t^") == std::string::npos)
            continue;
        if (first.empty())
            first = line;
        if (line.find("rror") != std::string::npos || line.find("line ") != std::string::npos)
            return line;
    }
    return first.empty() ? "no message" : first;
}

std::string run_gnuplot(const std::string &program, const std::string &folder, volatile int *child)
{
    /* gnuplot runs in the scratch folder and names its files by their short
     * names there: the folder's own name, whatever bytes it holds, never
     * reaches gnuplot's text. */
    std::string log = "gnuplot.log";
    std::string vars = "variables.gp";
    std::vector<std::string> env = child_environment(environ);
    std::vector<char *> envp(env.size() + 1, nullptr);
    std::transform(env.begin(), env.end(), envp.begin(), [](std::string &e) -> char * { return &e.front(); });
    std::string name = "gnuplot";
    char *argv[] = {name.data(), const_cast<char *>(vars.c_str()), const_cast<char *>(program.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, "gnuplot", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return std::string("can't run gnuplot: ") + strerror(error);
    *child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *child = 0;
    std::string said = memsweep::file_text(folder + "/" + log);
    struct stat st {
    };
    bool drawn = stat((folder + "/picture").c_str(), &st) == 0 && st.st_size > 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && drawn)
        return "";
    if (WIFSIGNALED(status))
        return "gnuplot stopped by signal " + std::to_string(WTERMSIG(status));
    return "gnuplot failed: " + shown_line(first_error(said), 200);
}

}  // namespace plot
