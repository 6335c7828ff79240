// SPDX-License-Identifier: MIT
/*
 * text.cpp -- numbers, sizes and text from files, as shown.
 */
#include "common/text.h"

#include <stdio.h>

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

}  // namespace memsweep
