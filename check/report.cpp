// SPDX-License-Identifier: MIT
/*
 * report.cpp -- the checks' reporting part: the checks as aligned lines of
 * text or as one JSON object, and the exit status they make.
 */
#include <algorithm>
#include <cmath>
#include <iterator>

#include <nlohmann/json.hpp>

#include "check/checks.h"

namespace checks {

using json = nlohmann::ordered_json;

/* status_word is the status as the reports spell it. */
static const char *status_word(Status s)
{
    return s == Status::ok ? "ok" : s == Status::warn ? "warn" : "info";
}

std::string format_text(const std::vector<Check> &results)
{
    // The names line up in a column as wide as the longest.
    auto longer = [](const Check &a, const Check &b) { return a.name.size() < b.name.size(); };
    auto longest = std::max_element(results.begin(), results.end(), longer);
    size_t width = longest == results.end() ? 0 : longest->name.size();
    std::string text;
    for (const Check &c : results) {
        std::string status = status_word(c.status);
        text += status + std::string(6 - status.size(), ' ') + c.name +
                std::string(width + 2 - c.name.size(), ' ') + c.figures +
                (c.note.empty() ? "" : " -- " + c.note) + "\n";
    }
    return text;
}

/* value is an optional value as JSON: null when there is none. */
template <class T>
static json value(const std::optional<T> &v)
{
    return v ? json(*v) : json(nullptr);
}

/* data_json returns a check's figures as the members of its JSON object,
 * units in the keys. */
static json data_json(const ClockRate &d)
{
    return {{"cpu_mhz", std::isfinite(d.cpu_mhz) ? json(d.cpu_mhz) : json(nullptr)},
            {"cpu_mhz_source", d.cpu_mhz_source},
            {"cpu_mhz_reads", d.cpu_mhz_reads}, {"cpu_mhz_moves", d.cpu_mhz_moves},
            {"counter_mhz", value(d.counter_mhz)}, {"factor", value(d.factor)},
            {"inverse", value(d.inverse)}};
}

static json data_json(const CounterFlags &d)
{
    if (d.stated_mhz > 0.0)
        return {{"constant_tsc", nullptr}, {"nonstop_tsc", nullptr}, {"stated_mhz", d.stated_mhz}};
    if (!d.flags_found)
        return {{"constant_tsc", nullptr}, {"nonstop_tsc", nullptr}};
    return {{"constant_tsc", d.constant_tsc}, {"nonstop_tsc", d.nonstop_tsc}, {"tsc_known_freq", d.tsc_known_freq}};
}

static json data_json(const MachineKind &d)
{
    return {{"hypervisor", value(d.hypervisor)}};
}

static json data_json(const Scaling &d)
{
    return {{"cpus", d.cpus},
            {"cpus_with_cpufreq", d.cpus_with_cpufreq},
            {"governors", d.governors},
            {"turbo", value(d.turbo)}};
}

static json data_json(const OtherLoad &d)
{
    return {{"interval_s", d.interval_s}, {"cpus", d.cpus}, {"other_work_cpus", value(d.other_work_cpus)}};
}

static json data_json(const Memory &d)
{
    json dimms = json::array();
    for (const Dimm &m : d.dimms) {
        auto known = [](long v) { return v > 0 ? json(v) : json(nullptr); };
        auto text = [](const std::string &t) { return t.empty() ? json(nullptr) : json(t); };
        dimms.push_back({{"locator", text(m.locator)},
                         {"bank_locator", text(m.bank_locator)},
                         {"channel", text(channel_of(m))},
                         {"size_bytes", m.size_bytes > 0 ? json(m.size_bytes) : json(nullptr)},
                         {"type", text(m.type)},
                         {"rated_mts", known(m.rated_mts)},
                         {"configured_mts", known(m.configured_mts)},
                         {"data_width_bits", known(m.data_width_bits)},
                         {"source", m.source}});
    }
    return {{"needed_mib", d.needed_mib},
            {"available_mib", value(d.available_mib)},
            {"rated_gbs", value(d.rated_gbs)},
            {"rated_source", d.rated_source.empty() ? json(nullptr) : json(d.rated_source)},
            {"rated_unknown", d.rated_unknown.empty() ? json(nullptr) : json(d.rated_unknown)},
            {"channels", value(d.channels)},
            {"mts", value(d.mts)},
            {"numa_nodes", value(d.numa_nodes)},
            {"dimms", dimms}};
}

static json data_json(const HugePages &d)
{
    return {{"transparent_mode", value(d.transparent_mode)},
            {"page_bytes", value(d.page_bytes)},
            {"transparent_bytes", value(d.transparent_bytes)},
            {"hugetlb_bytes", d.hugetlb_bytes}};
}

static json data_json(const Caches &d)
{
    json list = json::array();
    std::transform(d.cpu0.begin(), d.cpu0.end(), std::back_inserter(list), [](const CacheLevel &c) {
        return json{{"level", c.level},
                    {"type", c.type},
                    {"size_bytes", c.size_bytes},
                    {"largest_label_held", value(c.largest_label_held)},
                    {"step_between_labels", value(c.step_between_labels)}};
    });
    return {{"cpu0", list},
            {"line_bytes", value(d.line_bytes)},
            {"line_source", d.line_source.empty() ? json(nullptr) : json(d.line_source)}};
}

static json report_json(const std::vector<Check> &results, const std::string &root)
{
    json report;
    report["root"] = root.empty() ? "/" : root;
    int warnings = 0;
    json members = json::object();
    for (const Check &c : results) {
        warnings += c.status == Status::warn ? 1 : 0;
        json member = {{"status", status_word(c.status)}, {"figures", c.figures}, {"note", c.note}};
        member.update(std::visit([](const auto &d) { return data_json(d); }, c.data));
        members[c.key] = member;
    }
    report["warnings"] = warnings;
    report["checks"] = members;
    return report;
}

std::string format_json(const std::vector<Check> &results, const std::string &root)
{
    /* Bytes from files that are not UTF-8 become U+FFFD rather than an
     * exception. */
    return report_json(results, root).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

int exit_status(const std::vector<Check> &results)
{
    return std::any_of(results.begin(), results.end(),
                       [](const Check &c) { return c.status == Status::warn; })
               ? 1
               : 0;
}

}  // namespace checks
