// SPDX-License-Identifier: MIT
/*
 * memsweep-compare -- is B faster or slower than A?  Two records of
 * memsweep-record (or memsweep's tables) compared point by point: every
 * throughput cell, latency size, bandwidth point and loaded-latency point
 * present in both, by a two-sided Mann-Whitney U test over the passes
 * (exact up to 15 passes a side) and a practical threshold on the ratio of
 * the medians (compare.h).  It measures nothing.
 *
 * Standard output gets one tab-separated line per point, "kind key...
 * ratio verdict"; standard error one summary line.  --json FILE writes the
 * same as a document, --data FILE the figures and verdicts as plain numbers,
 * each whole or not at all (common/outfile.h; "-" is standard output,
 * which then gets it instead of the lines).
 *
 * Exit status: 0 nothing worse, 1 a point worse (--fail-on changes what
 * counts), 2 a usage error, an input that can't be read, or records that
 * can't be compared.
 */
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/options.h"
#include "common/outfile.h"
#include "common/shown.h"
#include "common/std_fds.h"
#include "common/text.h"
#include "compare/compare.h"
#include "compare/fleet.h"
#include "latency/knee.h"
#include "format/reader.h"

using json = nlohmann::ordered_json;
using compare::Comparison;
using compare::Point;
using compare::Verdict;
using format::Record;

static const char usage[] =
    "usage: memsweep-compare [options] A B\n"
    "       memsweep-compare --data FILE A\n"
    "       memsweep-compare --fleet [--threshold PCT] [--json FILE] [--drain FILE] RECORD|FOLDER...\n"
    "  --alpha X            the test's level, above 0 and below 1 (default 0.01)\n"
    "  --threshold PCT      the least difference of the medians that counts, in %\n"
    "                       (default 2)\n"
    "  --fail-on WHAT       worse (default): exit 1 when a point is worse in B;\n"
    "                       any: when one differs either way; never\n"
    "  --across-machines    compare records of different CPU models, page modes or\n"
    "                       bandwidth instruction sets, naming the differences\n"
    "  --no-drift-widen     don't widen the threshold by the drift watches' ratio\n"
    "  --json FILE          write the comparison to FILE as JSON\n"
    "  --data FILE          write the inputs' figures and the verdicts to FILE as\n"
    "                       tab-separated numbers, for scripts\n"
    "                       (either FILE \"-\": standard output, in the lines' place)\n"
    "  --fleet              judge each host's memory figures against the others' of\n"
    "                       its kind, one line a host (threshold default 5)\n"
    "  --drain FILE         with --fleet: write the slower hosts to FILE, separated\n"
    "                       by commas, as a scheduler's exclude or drain list takes them\n"
    "  -h, --help           print this help\n"
    "A and B are memsweep-record records or memsweep tables (\"-\": standard input).\n"
    "Exit status: 0 nothing worse, 1 a point worse (a host slower), 2 usage error\n"
    "or no comparison.\n";

/* The data file's and the JSON document's names and layout versions. */
static const char data_format[] = "memsweep-compare-data";
static const char json_format[] = "memsweep-compare";
static const int format_version = 1;

enum class FailOn { worse, any, never };

struct Options {
    compare::Settings settings;
    FailOn fail_on = FailOn::worse;
    std::string json_out, data_out, drain_out;
    bool fleet = false;
    bool threshold_given = false;
    std::vector<std::string> inputs;
};

/* usage_error reports a bad command line in one line, then the usage. */
static int usage_error(const std::string &message)
{
    fputs(memsweep::usage_error("memsweep-compare", message, usage).c_str(), stderr);
    return 2;
}

/* number reads a plain decimal number, digits and one point only. */
static bool number(const std::string &text, double *value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return false;
    *value = strtod(text.c_str(), nullptr);
    return true;
}

/* The options memsweep-compare knows. */
static const std::vector<memsweep::OptionSpec> known = {
    {"-h", memsweep::Takes::nothing},
    {"--help", memsweep::Takes::nothing},
    {"--alpha", memsweep::Takes::value},
    {"--threshold", memsweep::Takes::value},
    {"--fail-on", memsweep::Takes::value},
    {"--across-machines", memsweep::Takes::nothing},
    {"--no-drift-widen", memsweep::Takes::nothing},
    {"--drift-widen", memsweep::Takes::nothing},
    {"--json", memsweep::Takes::value},
    {"--data", memsweep::Takes::value},
    {"--fleet", memsweep::Takes::nothing},
    {"--drain", memsweep::Takes::value},
};

/* parse_options fills *o from the command line; it returns -1 to go on,
 * else the exit status. */
static int parse_options(int argc, char **argv, Options *o)
{
    memsweep::CommandLine line =
        memsweep::read_command_line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), known, true);
    for (const memsweep::Word &w : line.words) {
        const std::string &name = w.name;
        std::string value = w.value;
        double x = 0.0;
        if (name.empty()) {
            o->inputs.push_back(value);
        } else if (name == "-h" || name == "--help") {
            fputs(usage, stdout);
            return 0;
        } else if (name == "--across-machines") {
            o->settings.across_machines = true;
        } else if (name == "--no-drift-widen") {
            o->settings.drift_widen = false;
        } else if (name == "--drift-widen") {
            o->settings.drift_widen = true;
        } else if (name == "--alpha") {
            if (!number(value, &x) || !(x > 0.0) || !(x < 1.0)) /* NaN too */
                return usage_error("--alpha: not a number above 0 and below 1: " + value);
            o->settings.alpha = x;
        } else if (name == "--threshold") {
            if (!value.empty() && value.back() == '%')
                value.pop_back();
            if (!number(value, &x) || !(x < 100.0))
                return usage_error("--threshold: not a percentage from 0 to below 100: " + value);
            o->settings.threshold = x / 100.0;
            o->threshold_given = true;
        } else if (name == "--fail-on") {
            if (value == "worse")
                o->fail_on = FailOn::worse;
            else if (value == "any")
                o->fail_on = FailOn::any;
            else if (value == "never")
                o->fail_on = FailOn::never;
            else
                return usage_error("--fail-on: worse, any or never, not " + value);
        } else if (name == "--json" || name == "--data") {
            (name == "--json" ? o->json_out : o->data_out) = value;
        } else if (name == "--fleet") {
            o->fleet = true;
        } else if (name == "--drain") {
            o->drain_out = value;
        }
    }
    if (!line.fault.empty())
        return usage_error(line.fault);
    if (o->fleet) {
        if (!o->data_out.empty())
            return usage_error("--data is for one or two inputs, not --fleet");
        if (o->inputs.empty())
            return usage_error("--fleet: no records or folders of records");
        if (std::count(o->inputs.begin(), o->inputs.end(), "-") > 0)
            return usage_error("--fleet reads files and folders, not standard input");
        return -1;
    }
    if (!o->drain_out.empty())
        return usage_error("--drain is for --fleet");
    if (o->inputs.size() == 1 && o->data_out.empty())
        return usage_error("one input: compare two, or give --data to write one's figures");
    if (o->inputs.empty() || o->inputs.size() > 2)
        return usage_error("two inputs to compare, got " + std::to_string(o->inputs.size()));
    if (o->inputs.size() == 2 && o->inputs[0] == "-" && o->inputs[1] == "-")
        return usage_error("standard input can be one of the inputs, not both");
    return -1;
}

/* ====================== Outputs ====================== */

/* The outputs, made before anything is read, so that a name that can't
 * take one is a usage error before the comparison. */
struct Outputs {
    outfile::File json, data, drain;
};

/* open_outputs creates the outputs the options name; it returns -1 to go
 * on, else the exit status.  Files are told apart by what they are (their
 * device and inode, or their folder's and their name), not by their names'
 * text: an output must not replace an input, standard input included, nor
 * standard output's own file, nor the other output. */
static int open_outputs(const Options &o, Outputs *out)
{
    if (o.json_out == "-" && o.data_out == "-")
        return usage_error("--json and --data can't both go to standard output");
    if (o.json_out == "-" && o.drain_out == "-")
        return usage_error("--json and --drain can't both go to standard output");
    struct Named {
        const char *option;
        const std::string &path;
        outfile::File &file;
    } const outputs[] = {{"--json", o.json_out, out->json},
                         {"--data", o.data_out, out->data},
                         {"--drain", o.drain_out, out->drain}};
    for (const Named &n : outputs) {
        if (n.path.empty())
            continue;
        std::string why = n.file.create(n.path);
        if (!why.empty())
            return usage_error(std::string(n.option) + ": can't write " + n.path + ": " + why);
    }
    if (out->json.is_open() && out->data.is_open() && out->json.same_target(out->data))
        return usage_error("--json and --data name the same file");
    if (out->json.is_open() && out->drain.is_open() && out->json.same_target(out->drain))
        return usage_error("--json and --drain name the same file");
    for (const Named &n : outputs) {
        for (const std::string &in : o.inputs) {
            struct stat st {
            };
            bool exists = in == "-" ? fstat(0, &st) == 0 : stat(in.c_str(), &st) == 0;
            if (exists && n.file.replaces(st))
                return usage_error(std::string(n.option) + " " + n.path + ": is " +
                                   (in == "-" ? "standard input" : "an input") + "; write the output elsewhere");
        }
        struct stat st {
        };
        if (fstat(1, &st) == 0 && S_ISREG(st.st_mode) && n.file.replaces(st))
            return usage_error(std::string(n.option) + " " + n.path +
                               ": is standard output's file; write the output elsewhere");
    }
    return -1;
}

/* publish writes an output's text, or says in one line why it can't. */
static bool publish(outfile::File &file, const std::string &path, const std::string &text)
{
    bool to_stdout = file.to_stdout();
    if (file.publish(text))
        return true;
    fprintf(stderr, "memsweep-compare: %s: can't write it: %s\n",
            to_stdout ? "standard output" : shown_line(path).c_str(), strerror(errno));
    return false;
}

/* ====================== Output ====================== */

/* figure formats a figure for the data file and the lines: as many digits
 * as it takes, whole numbers without a point. */
static std::string figure(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%.9g", value);
    return text;
}

static std::string ratio_text(double ratio)
{
    if (isnan(ratio))
        return "nan";
    char text[64];
    snprintf(text, sizeof text, "%.3f", ratio);
    return text;
}

static std::string lines_of(const Comparison &c)
{
    std::string out;
    for (const Point &p : c.points)
        out += compare::point_line(p) + "\n";
    return out;
}

static json figures_json(const format::Figures &f)
{
    return {{"median", f.median}, {"min", f.min}, {"max", f.max}, {"passes", f.passes}};
}

static json input_json(const std::string &name, const Record &r)
{
    return {{"file", name},     {"kind", r.is_table ? "table" : "record"},   {"model", r.model},
            {"pages", r.pages}, {"bandwidth_isa", format::bandwidth_isa(r)}, {"passes", r.passes}};
}

static std::string document(const Options &o, const Record &a, const Record &b, const Comparison &c,
                            const std::string &summary, int status)
{
    json d;
    d["format"] = json_format;
    d["format_version"] = format_version;
    d["a"] = input_json(o.inputs[0], a);
    d["b"] = input_json(o.inputs[1], b);
    d["alpha"] = o.settings.alpha;
    d["threshold"] = o.settings.threshold;
    d["drift_widen"] = o.settings.drift_widen;
    d["threshold_used"] = c.threshold;
    d["drift"] = {{"a", c.drift_a > 0.0 ? json(c.drift_a) : json(nullptr)},
                  {"b", c.drift_b > 0.0 ? json(c.drift_b) : json(nullptr)}};
    d["passes_needed"] = c.needed;
    json points = json::array();
    for (const Point &p : c.points) {
        json j;
        j["kind"] = compare::kind_name(p.kind);
        if (p.kind == compare::Kind::cell) {
            j["label"] = p.label;
            j["stride"] = p.stride;
        } else if (p.kind == compare::Kind::bandwidth) {
            j["kernel"] = p.kernel;
            j["isa"] = p.isa;
            j["threads"] = p.threads;
        } else if (p.kind == compare::Kind::loaded) {
            const bool idle = p.delay == format::idle_delay;
            j["kernel"] = idle ? json("idle") : json(p.kernel);
            j["delay"] = idle ? json(nullptr) : json(p.delay);
            j["delay_b"] = idle ? json(nullptr) : json(p.delay_b);
            j["load_gbs"] = {{"a", p.load_a}, {"b", p.load_b}};
        }
        if (p.kind == compare::Kind::latency || p.kind == compare::Kind::bandwidth)
            j["bytes"] = p.bytes;
        j["a"] = figures_json(p.a);
        j["b"] = figures_json(p.b);
        j["ratio"] = isnan(p.ratio) ? json(nullptr) : json(p.ratio);
        j["p"] = p.p < 0.0 ? json(nullptr) : json(p.p);
        j["verdict"] = compare::verdict_name(p.verdict);
        j["worse"] = p.worse;
        points.push_back(j);
    }
    d["points"] = points;
    d["counts"] = {{"faster", compare::count(c, Verdict::faster)},
                   {"slower", compare::count(c, Verdict::slower)},
                   {"same", compare::count(c, Verdict::same)},
                   {"unknown", compare::count(c, Verdict::unknown)}};
    d["differences"] = c.differences;
    d["notes"] = c.notes;
    d["conditions"] = c.conditions;
    d["summary"] = summary;
    d["exit_status"] = status;
    /* Text from the records may hold any bytes: replaced, not refused. */
    return d.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

/* ====================== The data ====================== */

static void fact(std::string *out, const char *side, const char *key, const std::string &value)
{
    *out += std::string("fact\t") + side + "\t" + key + "\t" + shown_line(value) + "\n";
}

static void facts(std::string *out, const char *side, const std::string &name, const Record &r)
{
    fact(out, side, "name", name);
    fact(out, side, "kind", r.is_table ? "table" : "record");
    fact(out, side, "passes", std::to_string(r.passes));
    if (r.is_table)
        return;
    fact(out, side, "model", r.model);
    fact(out, side, "start", r.start);
    fact(out, side, "cpu", std::to_string(r.cpu));
    fact(out, side, "cpus", std::to_string(r.cpus));
    fact(out, side, "memory_mib", r.memory_mib >= 0.0 ? figure(r.memory_mib) : "");
    fact(out, side, "pages", r.pages);
    fact(out, side, "huge_share", figure(r.huge_share));
    fact(out, side, "counter_mhz", figure(r.counter_mhz));
    fact(out, side, "factor", figure(r.factor));
    fact(out, side, "governors", r.governors);
    fact(out, side, "turbo", r.turbo);
    double drift = format::drift_median(r);
    fact(out, side, "drift", drift > 0.0 ? figure(drift) : "");
    fact(out, side, "bandwidth_isa", format::bandwidth_isa(r));
    fact(out, side, "warnings", std::to_string(r.warnings.size()));
    for (const std::string &w : r.warnings)
        *out += std::string("warning\t") + side + "\t" + shown_line(w) + "\n";
    for (const format::CacheSize &c : r.caches)
        *out += std::string("cache\t") + side + "\t" + shown_line(c.name) + "\t" +
                std::to_string(c.bytes) + "\n";
}

/* A side's figures: median, min, max and passes; "-" four times for a
 * point that side lacks. */
static std::string side_fields(const format::Figures *f)
{
    if (f == nullptr)
        return "-\t-\t-\t-";
    return figure(f->median) + "\t" + figure(f->min) + "\t" + figure(f->max) + "\t" +
           std::to_string(f->passes.size());
}

/* data_lines returns every point of a and b (for one input, of a alone),
 * a's in their order and then b's alone: those in both with their ratio,
 * p and verdict, the others with "-"; a loaded-latency point's line ends
 * with the loaders' GB/s in a (and b), "-" for a side without it.  Points
 * are paired as the comparison pairs them (compare::match_points). */
static std::string data_lines(const Record &a, const Record *b, const Comparison &c)
{
    std::vector<Point> points_a = compare::points_of(a);
    std::vector<Point> points_b = b != nullptr ? compare::points_of(*b) : std::vector<Point>();
    std::vector<int> matched = compare::match_points(points_a, points_b);
    std::vector<bool> taken(points_b.size(), false);
    /* The judged points are c.points, in a's order of those matched. */
    size_t next_judged = 0;
    std::string out;
    auto line = [&](const Point *pa, const Point *pb, const Point *judged) {
        const Point *either = pa != nullptr ? pa : pb;
        out += compare::point_key(*either) + "\t" + side_fields(pa != nullptr ? &pa->a : nullptr);
        if (b != nullptr) {
            out += "\t" + side_fields(pb != nullptr ? &pb->a : nullptr);
            out += judged == nullptr ? "\t-\t-\t-"
                                     : "\t" + ratio_text(judged->ratio) + "\t" +
                                           (judged->p < 0.0 ? "-" : figure(judged->p)) + "\t" +
                                           compare::verdict_name(judged->verdict);
        }
        if (either->kind == compare::Kind::loaded) {
            out += "\t" + (pa != nullptr ? figure(pa->load_a) : std::string("-"));
            if (b != nullptr)
                out += "\t" + (pb != nullptr ? figure(pb->load_a) : std::string("-"));
        }
        out += "\n";
    };
    for (size_t i = 0; i < points_a.size(); i++) {
        const Point *pb = matched[i] >= 0 ? &points_b[(size_t)matched[i]] : nullptr;
        const Point *judged = pb != nullptr && next_judged < c.points.size() ? &c.points[next_judged++] : nullptr;
        if (pb != nullptr)
            taken[(size_t)matched[i]] = true;
        line(&points_a[i], pb, judged);
    }
    for (size_t j = 0; j < points_b.size(); j++)
        if (!taken[j])
            line(nullptr, &points_b[j], nullptr);
    return out;
}

/* knees returns a side's "knee" lines: for each kernel of its loaded
 * latency, the load where the medians' latency first reaches twice the idle
 * point's (latency::knee_of), and "found", or the highest load and "none". */
static std::string knees(const char *side, const Record &r)
{
    std::vector<std::string> kernels;
    for (const format::LoadedLatencyPoint &p : r.loaded)
        if (p.delay != format::idle_delay && std::find(kernels.begin(), kernels.end(), p.kernel) == kernels.end())
            kernels.push_back(p.kernel);
    std::string out;
    for (const std::string &kernel : kernels) {
        latency::Knee knee = latency::knee_of(latency::curve_of(r.loaded, kernel));
        out += std::string("knee\t") + side + "\t" + shown_line(kernel) + "\t" + figure(knee.gbs) + "\t" +
               (knee.found ? "found" : "none") + "\n";
    }
    return out;
}

static std::string data(const Options &o, const Record &a, const Record *b, const Comparison &c,
                        const std::string &summary)
{
    std::string out = std::string("# ") + data_format + " " + std::to_string(format_version) + "\n";
    facts(&out, "A", o.inputs[0], a);
    if (b != nullptr) {
        facts(&out, "B", o.inputs[1], *b);
        for (const std::string &d : c.differences)
            out += "difference\t" + shown_line(d) + "\n";
        for (const std::string &n : c.notes)
            out += "note\t" + shown_line(n) + "\n";
        for (const std::string &n : c.conditions)
            out += "condition\t" + shown_line(n) + "\n";
    }
    out += data_lines(a, b, c);
    out += knees("A", a);
    if (b != nullptr) {
        out += knees("B", *b);
        out += "summary\t" + shown_line(summary) + "\n";
    }
    return out;
}

/* ====================== The fleet ====================== */

/* fleet_files finds the files the inputs name: each file, and each
 * folder's files whose names end in ".json", in name order; false, with
 * why in *error, where a folder can't be listed. */
static bool fleet_files(const std::vector<std::string> &inputs, std::vector<std::string> *out, std::string *error)
{
    std::vector<std::string> &files = *out;
    for (const std::string &in : inputs) {
        struct stat st {
        };
        if (stat(in.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            files.push_back(in);
            continue;
        }
        DIR *dir = opendir(in.c_str());
        if (dir == nullptr) {
            *error = in + ": can't list it: " + strerror(errno);
            return false;
        }
        std::vector<std::string> names;
        while (const struct dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0 && name[0] != '.')
                names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::string path = in;
            if (path.back() != '/')
                path += '/';
            files.push_back(path.append(name));
        }
    }
    return true;
}

static json fleet_document(const std::vector<compare::FleetGroup> &groups, double threshold, int status)
{
    json doc;
    doc["format"] = "memsweep-compare-fleet";
    doc["format_version"] = 1;
    doc["threshold"] = threshold;
    doc["z_limit"] = compare::z_limit;
    doc["least_hosts"] = compare::least_fleet;
    doc["status"] = status;
    json list = json::array();
    for (const compare::FleetGroup &g : groups) {
        json hosts = json::array();
        for (const compare::HostVerdict &h : g.hosts) {
            json figures = json::array();
            std::transform(h.figures.begin(), h.figures.end(), std::back_inserter(figures),
                           [](const compare::FleetFigure &f) {
                               return json{{"what", f.what},
                                           {"value", f.value},
                                           {"median", f.median},
                                           {"mad", f.mad},
                                           {"z", isfinite(f.z) ? json(f.z) : json(f.z > 0 ? "inf" : "-inf")},
                                           {"distance", f.distance},
                                           {"outlier", f.outlier}};
                           });
            auto z = [](double v) { return isfinite(v) ? json(v) : json(v > 0 ? "inf" : "-inf"); };
            hosts.push_back({{"host", h.host},
                             {"file", h.file},
                             {"verdict", compare::fleet_verdict_name(h.verdict)},
                             {"line", h.line},
                             {"bandwidth_distance", h.bandwidth_distance},
                             {"bandwidth_z", z(h.bandwidth_z)},
                             {"figures", figures}});
        }
        const compare::Identity &i = g.identity;
        list.push_back({{"identity",
                         {{"model", i.model},
                          {"cpus", i.cpus},
                          {"numa_nodes", i.nodes > 0 ? json(i.nodes) : json(nullptr)},
                          {"memory", i.memory.empty() ? json(nullptr) : json(i.memory)},
                          {"pages", i.pages},
                          {"isa", i.isa}}},
                        {"judged", g.judged},
                        {"why", g.why.empty() ? json(nullptr) : json(g.why)},
                        {"hosts", hosts}});
    }
    doc["groups"] = list;
    return doc;
}

/* run_fleet judges the records of the inputs as one fleet. */
static int run_fleet(const Options &o, Outputs &out)
{
    std::string error;
    std::vector<std::string> files;
    if (!fleet_files(o.inputs, &files, &error)) {
        fprintf(stderr, "memsweep-compare: %s\n", shown_line(error).c_str());
        return 2;
    }
    /* The records are read on every CPU allowed, each reader taking every
     * n-th file: parsing is most of the time a fleet takes. */
    std::vector<compare::Member> read(files.size());
    std::vector<std::string> errors(files.size());
    size_t readers = std::max<size_t>(1, std::min<size_t>(std::thread::hardware_concurrency(), 16));
    std::vector<std::thread> threads;
    threads.reserve(readers);
    for (size_t t = 0; t < readers; t++)
        threads.emplace_back([&, t] {
            for (size_t i = t; i < files.size(); i += readers) {
                read[i].file = files[i];
                if (!format::read_file(files[i], &read[i].record, &errors[i]))
                    continue;
                if (read[i].record.is_table)
                    errors[i] = "a table, not a record";
            }
        });
    for (std::thread &t : threads)
        t.join();
    std::vector<compare::Member> members;
    for (size_t i = 0; i < files.size(); i++) {
        compare::Member &m = read[i];
        if (!errors[i].empty()) {
            fprintf(stderr, "memsweep-compare: %s: %s (left out of the fleet)\n", shown_line(files[i]).c_str(),
                    shown_line(errors[i]).c_str());
            continue;
        }
        m.host = m.record.host.empty() ? files[i].substr(files[i].rfind('/') + 1) : shown_line(m.record.host);
        members.push_back(std::move(m));
    }
    if (members.empty()) {
        fprintf(stderr, "memsweep-compare: --fleet: no record to judge\n");
        return 2;
    }
    double threshold = o.threshold_given ? o.settings.threshold : compare::fleet_threshold;
    std::vector<compare::FleetGroup> groups = compare::judge_fleet(members, threshold);

    std::string lines;
    std::string drain;
    int counts[4] = {0, 0, 0, 0};
    for (const compare::FleetGroup &g : groups) {
        fprintf(stderr, "memsweep-compare: %s of %s: %s\n", memsweep::count_text(g.hosts.size(), "host").c_str(),
                shown_line(g.identity.text()).c_str(), g.judged ? "judged" : ("unknown: " + g.why).c_str());
        for (const compare::HostVerdict &h : g.hosts) {
            lines += shown_line(h.line) + "\n";
            counts[(int)h.verdict]++;
            if (h.verdict == compare::FleetVerdict::slower)
                drain += (drain.empty() ? "" : ",") + shown_line(h.host);
        }
    }
    int slower = counts[(int)compare::FleetVerdict::slower];
    int faster = counts[(int)compare::FleetVerdict::faster];
    int status = (o.fail_on == FailOn::worse && slower > 0) || (o.fail_on == FailOn::any && slower + faster > 0) ? 1 : 0;
    if (!out.json.to_stdout() && !out.drain.to_stdout()) {
        if (fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() || fflush(stdout) != 0) {
            fprintf(stderr, "memsweep-compare: can't write standard output\n");
            return 2;
        }
    }
    fprintf(stderr, "memsweep-compare: fleet of %s in %s: %d slower, %d faster, %d same, %d unknown; threshold %.1f %%, |z| above %.1f\n",
            memsweep::count_text(members.size(), "host").c_str(), memsweep::count_text(groups.size(), "group").c_str(),
            slower, faster, counts[(int)compare::FleetVerdict::same], counts[(int)compare::FleetVerdict::unknown],
            threshold * 100.0, compare::z_limit);
    if (out.json.is_open() &&
        !publish(out.json, o.json_out, fleet_document(groups, threshold, status).dump(2) + "\n"))
        return 2;
    if (out.drain.is_open() && !publish(out.drain, o.drain_out, drain + "\n"))
        return 2;
    return status;
}

/* ====================== main ====================== */

/* run compares as the command line asks; main catches what it throws. */
static int run(int argc, char **argv, bool stdin_closed)
{
    /* --- OPTIONS AND OUTPUTS: every usage error before anything is read. --- */
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0)
        return status;
    Outputs out;
    status = open_outputs(o, &out);
    if (status >= 0)
        return status;
    if (o.fleet)
        return run_fleet(o, out);

    /* --- INPUTS --- */
    Record records[2];
    for (size_t i = 0; i < o.inputs.size(); i++) {
        std::string error;
        bool is_stdin = o.inputs[i] == "-";
        /* A closed standard input reads as /dev/null by now (open_std_fds). */
        if (is_stdin && stdin_closed)
            error = "closed, not a record or a table";
        if (!error.empty() || !format::read_file(o.inputs[i], &records[i], &error)) {
            std::string name = is_stdin ? "standard input" : o.inputs[i];
            fprintf(stderr, "memsweep-compare: %s: %s\n", shown_line(name).c_str(), shown_line(error).c_str());
            return 2;
        }
    }
    if (o.inputs.size() == 1)
        return publish(out.data, o.data_out, data(o, records[0], nullptr, Comparison(), "")) ? 0 : 2;

    /* --- JUDGEMENT --- */
    Comparison c = compare::compare_records(records[0], records[1], o.settings);
    if (!c.refusal.empty()) {
        fprintf(stderr, "memsweep-compare: %s\n", shown_line(c.refusal).c_str());
        return 2;
    }
    int worse = compare::count(c, Verdict::slower);
    int differ = worse + compare::count(c, Verdict::faster);
    status = (o.fail_on == FailOn::worse && worse > 0) || (o.fail_on == FailOn::any && differ > 0) ? 1 : 0;
    std::string summary = compare::summary(c, o.settings);

    /* --- REPORT: the lines, unless an output took standard output; the
     * summary; the outputs.  A write that fails is a failure. --- */
    if (!out.json.to_stdout() && !out.data.to_stdout()) {
        std::string lines = lines_of(c);
        if (fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() || fflush(stdout) != 0) {
            fprintf(stderr, "memsweep-compare: can't write standard output\n");
            return 2;
        }
    }
    fprintf(stderr, "memsweep-compare: %s\n", shown_line(summary).c_str());
    if (out.json.is_open() &&
        !publish(out.json, o.json_out, document(o, records[0], records[1], c, summary, status)))
        return 2;
    if (out.data.is_open() && !publish(out.data, o.data_out, data(o, records[0], &records[1], c, summary)))
        return 2;
    return status;
}

int main(int argc, char **argv)
{
    bool stdin_closed = (open_std_fds() & 1) != 0;
    /* The outputs go on a signal too, as the record's does. */
    outfile::catch_signals(nullptr);
    /* A reader that goes away is a write that fails, with its one line. */
    signal(SIGPIPE, SIG_IGN);
    /* Nothing is expected to throw; should something (memory running out,
     * say), it ends the command with one line, and no comparison. */
    try {
        return run(argc, argv, stdin_closed);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "memsweep-compare: stopped: out of memory\n");
    } catch (const std::exception &e) {
        fprintf(stderr, "memsweep-compare: stopped: %s\n", shown_line(e.what()).c_str());
    }
    return 2;
}
