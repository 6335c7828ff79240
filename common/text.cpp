// SPDX-License-Identifier: MIT
/*
 * text.cpp -- numbers, sizes and text from files, as shown.
 */
#include "common/text.h"

#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include "common/shown.h"

namespace memsweep {

std::string fixed(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cache_name(long level, const std::string &type)
{
    return "L" + std::to_string(level) + (level == 1 && type == "Data" ? "d" : "");
}

std::string gbs_text(double gbs)
{
    return fixed(gbs, gbs >= 100.0 ? 0 : 1);
}

std::string ns_text(double ns)
{
    return fixed(ns, ns < 9.95 ? 1 : 0) + " ns";
}

std::string count_text(uint64_t n, const std::string &thing)
{
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string size_text(uint64_t bytes)
{
    if (bytes % (uint64_t(1) << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (uint64_t(1) << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

std::string shown(const std::string &text, size_t limit)
{
    return shown_line(text, limit);
}

bool whole_number(const std::string &text, long long max, long long *value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = strtoll(text.c_str(), nullptr, 10);
    return *value <= max;
}

std::vector<int> number_list(const std::string &text)
{
    std::vector<int> numbers;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        part.erase(part.find_last_not_of(" \n\t") + 1);
        part.erase(0, part.find_first_not_of(" \n\t"));
        size_t dash = part.find('-');
        long long from = 0;
        long long to = 0;
        if (!whole_number(part.substr(0, dash), list_number_limit - 1, &from))
            return {};
        if (dash == std::string::npos)
            to = from;
        else if (!whole_number(part.substr(dash + 1), list_number_limit - 1, &to))
            return {};
        if (to < from)
            return {};
        for (long long n = from; n <= to; n++)
            numbers.push_back((int)n);
    }
    return numbers;
}

}  // namespace memsweep
