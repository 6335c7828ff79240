// SPDX-License-Identifier: MIT
/*
 * here.cpp -- what this machine tells a picture of a table: its caches, from
 * a folder in sysfs's layout, and its title, from cpuinfo.
 */
#include "plot/picture.h"

#include <stdlib.h>

#include "common/files.h"
#include "common/text.h"

namespace plot
{

std::string machine_title(const std::string &cpuinfo)
{
    std::string text = memsweep::file_text(cpuinfo);
    std::string model;
    std::string rate;
    size_t at = 0;
    while (at < text.size() && (model.empty() || rate.empty())) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (key == "model name" && model.empty())
            model = value;
        else if (key == "cpu MHz" && rate.empty())
            rate = value;
    }
    std::string title = "memsweep on " + (model.empty() ? std::string("an unknown CPU") : model);
    char *end = nullptr;
    double mhz = strtod(rate.c_str(), &end);
    bool plain = !rate.empty() && rate.find_first_not_of("0123456789.") == std::string::npos;
    if (plain && end != nullptr && *end == '\0' && mhz > 0.0)
        title += " at " + memsweep::fixed(mhz, 0) + " MHz";
    return title;
}

std::vector<format::CacheSize> caches_in(const std::string &folder)
{
    std::vector<format::CacheSize> caches;
    for (int i = 0; i < 64; i++) {
        std::string index = folder + "/index" + std::to_string(i);
        std::string level;
        std::string type;
        std::string size;
        if (!memsweep::read_value(index + "/level", &level) || !memsweep::read_value(index + "/type", &type) ||
            !memsweep::read_value(index + "/size", &size))
            continue;
        size_t digits = size.find_first_not_of("0123456789");
        std::string unit = digits == std::string::npos ? "" : size.substr(digits);
        bool whole_level = !level.empty() && level.size() <= 3 &&
                           level.find_first_not_of("0123456789") == std::string::npos;
        int shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : -1;
        if (!whole_level || digits == 0 || size.size() - unit.size() > 12 || shift < 0 || type == "Instruction")
            continue;
        uint64_t bytes = strtoull(size.c_str(), nullptr, 10) << shift;
        caches.push_back({memsweep::cache_name(strtol(level.c_str(), nullptr, 10), type), bytes});
    }
    return caches;
}

}  // namespace plot
