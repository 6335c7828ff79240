// SPDX-License-Identifier: MIT
/*
 * report.cpp -- the session's warnings, its table of best passes, its latency's
 * medians and its summary.  Everything here is a function of what the
 * session gathered: nothing is read or measured.
 */
#include "record/report.h"

#include "bandwidth/bandwidth.h"
#include "common/grid.h"
#include "common/stats.h"
#include "common/text.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>

namespace record {

using machine::pages_name;

/* The drift watch reads a core-bound cell: a range of more than 5 % over
 * the session is the machine changing speed, well above the 1 % that one
 * best-of-K measurement agrees within. */
const double drift_limit = 0.05;
/* The counter's rate is measured to a fraction of a ppm; one that moves by
 * more than 10 ppm (36 ms an hour) is not a fixed-rate counter. */
const double counter_limit = 10e-6;
/* The kernel may gather the array's small pages into huge ones during the
 * passes (khugepaged), or split its huge ones: one huge page of 2 MiB is
 * 1.6 % of the 128 MiB array, so a move of more than 1 % is a page at
 * least, and the working sets on it measured on pages of two kinds. */
const double huge_share_limit = 0.01;
/* A timed call of 20 steps of the counter is known to within 5 % at best. */
static const double coarse_steps = 20.0;

using memsweep::fixed;

/* watch_figures returns the drift watch's figures, in the order taken. */
static std::vector<double> watch_figures(const Passes &passes)
{
    std::vector<double> figures(passes.drift.size());
    std::transform(passes.drift.begin(), passes.drift.end(), figures.begin(), [](const Watch &w) { return w.gbs; });
    return figures;
}

/* ====================== Warnings ====================== */

std::vector<std::string> check_warnings(const std::vector<checks::Check> &results, const std::string &when)
{
    std::vector<std::string> warnings;
    for (const checks::Check &check : results) {
        if (check.status != checks::Status::warn)
            continue;
        if (const auto *rate = std::get_if<checks::ClockRate>(&check.data)) {
            /* The record converts cycles with the counter's rate: only a
             * moving line still matters, as a sign of changing speed. */
            const std::vector<double> &reads = rate->cpu_mhz_reads;
            if (!rate->cpu_mhz_moves || reads.empty())
                continue;
            auto [low, high] = std::minmax_element(reads.begin(), reads.end());
            warnings.push_back(when + ": the \"cpu MHz\" line moved from " + fixed(*low, 3) + " to " +
                               fixed(*high, 3) +
                               " MHz: the cores change speed as they work, and the figures with them; fix "
                               "the frequency (performance governor, turbo off)");
            continue;
        }
        std::string sentence = when;
        sentence.append(": ").append(check.name).append(": ").append(check.figures);
        if (!check.note.empty())
            sentence.append(" -- ").append(check.note);
        warnings.push_back(sentence);
    }
    return warnings;
}

std::vector<std::string> session_warnings(const Session &s)
{
    std::vector<std::string> warnings;
    if (s.pages == Pages::huge && s.huge_share == 0.0) {
        const auto *huge = checks::figures_of<checks::HugePages>(s.checks_before);
        std::string mode = huge != nullptr ? huge->transparent_mode.value_or("unknown") : "unknown";
        uint64_t huge_bytes = huge != nullptr ? huge->transparent_bytes.value_or(0) : 0;
        const uint64_t array = memsweep::label_bytes(memsweep::largest_label);
        if (huge_bytes > array)
            warnings.push_back("huge pages were asked for, but this system's are " + memsweep::size_text(huge_bytes) +
                               ", larger than memsweep's " + memsweep::size_text(array) +
                               " array, which none can back: the figures are those of small pages");
        else
            warnings.push_back("huge pages were asked for, but none of the measured memory got them (transparent "
                               "huge pages: " + mode + "): the figures are those of small pages");
    }
    if (s.huge_share_after >= 0.0 && fabs(s.huge_share_after - s.huge_share) > huge_share_limit)
        warnings.push_back("the measured memory's share on huge pages moved from " +
                           fixed(s.huge_share * 100.0, 0) + " % to " + fixed(s.huge_share_after * 100.0, 0) +
                           " % during the session (the kernel gathers or splits huge pages as it goes): the "
                           "cells were measured on pages of both kinds");
    if (s.pages == Pages::huge && s.latency_huge_share == 0.0)
        warnings.push_back("huge pages were asked for, but none of the latency's buffer got them: its figures are "
                           "those of small pages");

    const std::vector<int> &throttled = s.passes.throttled_passes;
    if (!throttled.empty()) {
        std::string passes;
        for (size_t i = 0; i < throttled.size(); i++)
            passes += (i == 0 ? "" : i + 1 == throttled.size() ? " and " : ", ") + std::to_string(throttled[i]);
        warnings.push_back(std::string(throttled.size() == 1 ? "pass " : "passes ") + passes +
                           " of the session were throttled by the cgroup's CPU quota (cpu.stat's nr_throttled rose "
                           "by " + std::to_string(s.passes.throttled_periods) +
                           "): their figures are slowed by it; raise the quota (cpu.max) or run fewer threads");
    }
    std::vector<int> coarse = coarse_cells(s.passes, s.counter_mhz, s.counter_step, s.in_row_below);
    if (!coarse.empty()) {
        Cell c = grid()[(size_t)coarse.front()];
        warnings.push_back(std::to_string(coarse.size()) + " cells, the first " + std::to_string(c.bytes() >> 10) +
                           " KiB at stride " + std::to_string(c.stride) + ", are timed in fewer than " +
                           fixed(coarse_steps, 0) + " steps of the counter, which advances " +
                           fixed(s.counter_step, 0) + " cycles at a time here: one step moves their figures by " +
                           "more than 5 %, so they are coarse, and two sessions may differ there by a step");
    }

    std::vector<double> rows = row_by_pass(s.passes);
    Spread row = spread_of(rows);
    if (rows.size() > 1 && spread_share(row) > drift_limit) {
        auto slowest = std::min_element(rows.begin(), rows.end());
        auto fastest = std::max_element(rows.begin(), rows.end());
        warnings.push_back("the largest working set (128 MiB) read " +
                           fixed((*fastest / *slowest - 1.0) * 100.0, 0) + " % faster in pass " +
                           std::to_string(fastest - rows.begin() + 1) + " than in pass " +
                           std::to_string(slowest - rows.begin() + 1) +
                           ": the memory's own speed moved during the session (other work on the machine, or "
                           "another guest's), and the largest rows measured at different moments differ by as "
                           "much");
    }

    Spread drift = spread_of(watch_figures(s.passes));
    if (spread_share(drift) > drift_limit)
        warnings.push_back("the drift watch (16 KiB at stride 1) moved by " +
                           fixed(spread_share(drift) * 100.0, 1) + " % over the session, from " +
                           fixed(drift.min, 1) + " to " + fixed(drift.max, 1) +
                           " GB/s: the machine itself changed speed, and cells measured at different moments "
                           "differ by as much");

    /* The checks' own limits: other work of more than a tenth of one CPU
     * competes with the session, and a "cpu MHz" line that moves by more
     * than 1 % is a core's changing frequency. */
    if (s.other_work_cpus > checks::other_cpus_limit)
        warnings.push_back("the session was disturbed: other work kept " + fixed(s.other_work_cpus, 2) + " of " +
                           std::to_string(s.cpus) + " CPUs busy while it measured");
    if (s.cpu_mhz > 0.0 && s.cpu_mhz_after > 0.0 && fabs(s.cpu_mhz_after / s.cpu_mhz - 1.0) > checks::rate_tolerance)
        warnings.push_back("the \"cpu MHz\" line moved from " + fixed(s.cpu_mhz, 3) + " to " +
                           fixed(s.cpu_mhz_after, 3) + " MHz over the session: the cores changed speed");
    if (s.counter_mhz > 0.0 && s.counter_mhz_after > 0.0 &&
        fabs(s.counter_mhz_after / s.counter_mhz - 1.0) > counter_limit)
        warnings.push_back("the counter's rate moved from " + fixed(s.counter_mhz, 3) + " to " +
                           fixed(s.counter_mhz_after, 3) + " MHz over the session (" +
                           fixed(fabs(s.counter_mhz_after / s.counter_mhz - 1.0) * 1e6, 0) +
                           " ppm): its cycles are not steady time on this machine");
    return warnings;
}

std::vector<double> row_by_pass(const Passes &passes)
{
    std::vector<Cell> cells = grid();
    size_t n = passes.gbs.empty() ? 0 : passes.gbs.front().size();
    std::vector<double> log_sum(n, 0.0);
    int counted = 0;
    for (size_t i = 0; i < cells.size() && i < passes.gbs.size(); i++) {
        double median = spread_of(passes.gbs[i]).median;
        if (cells[i].label != 14 || passes.gbs[i].size() != n || !(median > 0.0))
            continue;
        for (size_t k = 0; k < n; k++)
            log_sum[k] += log(std::max(passes.gbs[i][k], 1e-9) / median);
        counted++;
    }
    if (counted == 0)
        return {};
    std::vector<double> levels(n);
    std::transform(log_sum.begin(), log_sum.end(), levels.begin(), [=](double sum) { return exp(sum / counted); });
    return levels;
}

std::vector<int> coarse_cells(const Passes &passes, double counter_mhz, double counter_step, double in_row_below)
{
    std::vector<int> coarse;
    std::vector<Cell> cells = grid();
    for (size_t i = 0; i < cells.size() && i < passes.gbs.size(); i++) {
        double gbs = spread_of(passes.gbs[i]).median;
        /* The bytes as memsweep counts them, a whole number; bytes / (GB/s)
         * is nanoseconds, and times MHz / 1000 cycles. */
        double cycles = (double)(cells[i].bytes() / cells[i].stride) / gbs * counter_mhz / 1000.0;  // NOLINT(bugprone-integer-division)
        if (gbs > 0.0 && cycles < coarse_steps * counter_step && cycles >= in_row_below)
            coarse.push_back((int)i);
    }
    return coarse;
}

/* ====================== The table of best passes ====================== */

std::string best_table(const Passes &passes)
{
    std::vector<Cell> cells = grid();
    std::string table = "\n";
    char line[64];
    for (size_t i = 0; i < cells.size() && i < passes.gbs.size(); i++) {
        snprintf(line, sizeof line, "%d\t%d\t%.1f\n", cells[i].label, cells[i].stride,
                 spread_of(passes.gbs[i]).max);
        table += line;
    }
    return table;
}

/* ====================== The summary ====================== */

double spread_share(const Spread &s)
{
    return s.median > 0.0 ? (s.max - s.min) / s.median : 0.0;
}

/* Cells whose passes spread by more than this are the ones not to trust. */
static const double wide_spread = 0.05;

std::string summary(const Session &s, const std::string &out)
{
    std::vector<double> spreads(s.passes.gbs.size());
    std::transform(s.passes.gbs.begin(), s.passes.gbs.end(), spreads.begin(),
                   [](const std::vector<double> &cell) { return spread_share(spread_of(cell)); });
    long wide = std::count_if(spreads.begin(), spreads.end(), [](double x) { return x > wide_spread; });
    std::vector<double> watch = watch_figures(s.passes);
    int passes = s.passes.gbs.empty() ? 0 : (int)s.passes.gbs.front().size();
    long seconds = lround(s.seconds);

    std::string line = std::to_string(passes) + (passes == 1 ? " pass" : " passes") + " of " +
                       std::to_string(s.passes.gbs.size()) + " cells on CPU " + std::to_string(s.cpu) + " in " +
                       std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s; counter " +
                       fixed(s.counter_mhz, 3) + " MHz (cpu MHz factor " + fixed(s.cpu_mhz / s.counter_mhz, 3) +
                       "); pages " + pages_name(s.pages) + ", " + fixed(s.huge_share * 100.0, 0) +
                       " % on huge pages; spread over passes: median " +
                       fixed(spread_of(spreads).median * 100.0, 1) + " %, " + std::to_string(wide) +
                       " cells above " + fixed(wide_spread * 100.0, 0) + " %; drift watch " +
                       fixed(spread_share(spread_of(watch)) * 100.0, 1) + " %; " +
                       std::to_string(s.warnings.size()) + (s.warnings.size() == 1 ? " warning" : " warnings");
    if (!out.empty())
        line += "; record: " + out;
    return line;
}

/* ====================== The bandwidth plane ====================== */


std::string memory_summary(const format::Record &r)
{
    format::MemoryRead read = format::memory_read(r);
    if (read.kernel.empty())
        return "";
    std::string line = "memory: " + read.kernel + " " + memsweep::gbs_text(read.gbs) + " GB/s on " +
                       memsweep::count_text((uint64_t)read.threads, "thread");
    if (!read.beyond_caches)
        line += " (its largest working sets, not beyond the caches as known)";
    if (r.rated.gbs > 0.0)
        return line + ", " + fixed(read.gbs / r.rated.gbs * 100.0, 0) + " % of the rated " + fixed(r.rated.gbs, 1) +
               " GB/s (" + r.rated.source + ")";
    return line + "; the rated peak is unknown: " + r.rated.unknown;
}

std::string bandwidth_summary(const Passes &passes, uint64_t largest_cache)
{
    const std::vector<PlanePoint> &plane = passes.plane;
    if (plane.empty() || plane.size() != passes.plane_gbs.size())
        return "";
    auto by_threads = [](const PlanePoint &a, const PlanePoint &b) { return a.threads < b.threads; };
    int fewest = std::min_element(plane.begin(), plane.end(), by_threads)->threads;
    int most = std::max_element(plane.begin(), plane.end(), by_threads)->threads;
    std::string isa = "scalar";
    std::vector<std::string> kernels;
    /* The vector read's instruction set, the widest: on 64-bit Arm under
     * SVE the other kernels run NEON's. */
    for (const PlanePoint &p : plane) {
        if (p.isa != "scalar" && (isa == "scalar" || p.kernel == "vector-read"))
            isa = p.isa;
        if (std::find(kernels.begin(), kernels.end(), p.kernel) == kernels.end())
            kernels.push_back(p.kernel);
    }
    /* largest is the place of a kernel's largest working set at a thread
     * count; plane.size() where it has none. */
    auto largest = [&](const std::string &kernel, int threads) {
        size_t at = plane.size();
        for (size_t k = 0; k < plane.size(); k++)
            if (plane[k].kernel == kernel && plane[k].threads == threads && !passes.plane_gbs[k].empty() &&
                (at == plane.size() || plane[k].bytes > plane[at].bytes))
                at = k;
        return at;
    };
    /* Unknown caches (0) hold none of it, as the latency's line has it. */
    bool memory = true;
    std::string figures;
    for (const std::string &kernel : kernels) {
        std::string line;
        for (int threads : {fewest, most}) {
            size_t at = largest(kernel, threads);
            if (at == plane.size() || (threads == most && most == fewest && !line.empty()))
                continue;
            memory = memory && plane[at].bytes > largest_cache;
            std::string figure = memsweep::gbs_text(spread_of(passes.plane_gbs[at]).median);
            if (line.empty()) {
                line = kernel;
                line += " " + figure;
                line += " GB/s on " + std::to_string(threads);
                line += threads == 1 ? " thread" : " threads";
            } else {
                line += ", " + figure;
                line += " on " + std::to_string(threads);
            }
        }
        if (!line.empty())
            figures += (figures.empty() ? "" : "; ") + line;
    }
    return "bandwidth (" + std::string(memory ? "memory" : "largest working sets") + ", " + isa + "): " + figures;
}

/* ====================== The latency ====================== */

std::vector<size_t> latency_by_size(const Passes &passes)
{
    std::vector<size_t> order;
    for (size_t j = 0; j < passes.latency_bytes.size() && j < passes.latency_ns.size(); j++)
        order.push_back(j);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return passes.latency_bytes[a] < passes.latency_bytes[b]; });
    return order;
}

std::vector<LatencyFigure> latency_medians(const Passes &passes)
{
    std::vector<size_t> order = latency_by_size(passes);
    std::vector<LatencyFigure> figures(order.size());
    std::transform(order.begin(), order.end(), figures.begin(), [&](size_t j) {
        return LatencyFigure{passes.latency_bytes[j], spread_of(passes.latency_ns[j]).median};
    });
    return figures;
}

/* ====================== The loaded latency ====================== */

std::vector<LoadedSeries> loaded_series(const Passes &passes)
{
    std::vector<LoadedSeries> series;
    for (size_t k = 0; k < passes.loaded.size() && k < passes.loaded_ns.size(); k++)
        series.push_back({passes.loaded[k].kernel, passes.loaded[k].delay, passes.loaded_gbs[k], passes.loaded_ns[k]});
    return series;
}

double loaded_peak(const Passes &passes, int threads)
{
    const std::string kernel = bandwidth::kernel_name(bandwidth::Kernel::vector_read);
    uint64_t largest = 0;
    double peak = 0.0;
    for (size_t k = 0; k < passes.plane.size() && k < passes.plane_gbs.size(); k++) {
        const PlanePoint &p = passes.plane[k];
        if (p.kernel == kernel && p.threads == threads && p.bytes >= largest && !passes.plane_gbs[k].empty()) {
            largest = p.bytes;
            peak = memsweep::median(passes.plane_gbs[k]);
        }
    }
    return peak;
}

}  // namespace record
