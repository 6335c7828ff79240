// SPDX-License-Identifier: MIT
/*
 * report.cpp -- the checks' reporting part: the checks as aligned lines of
 * text or as one JSON object, and the exit status they make.
 */
#include <algorithm>

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

std::string format_json(const std::vector<Check> &results, const std::string &root)
{
    json report;
    report["root"] = root.empty() ? "/" : root;
    int warnings = 0;
    json members = json::object();
    for (const Check &c : results) {
        warnings += c.status == Status::warn;
        json member = {{"status", status_word(c.status)}, {"figures", c.figures}, {"note", c.note}};
        member.update(c.data);
        members[c.key] = member;
    }
    report["warnings"] = warnings;
    report["checks"] = members;
    /* Bytes from files that are not UTF-8 become U+FFFD rather than an
     * exception. */
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

int exit_status(const std::vector<Check> &results)
{
    return std::any_of(results.begin(), results.end(),
                       [](const Check &c) { return c.status == Status::warn; })
               ? 1
               : 0;
}

}  // namespace checks
