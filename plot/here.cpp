// SPDX-License-Identifier: MIT
/*
 * here.cpp -- what this machine tells a picture of a table: its caches, from
 * a folder in sysfs's layout, and its title, from cpuinfo (its model as the
 * checks name it, 64-bit Arm's cores included).
 */
#include "plot/picture.h"

#include <stdlib.h>

#include "check/checks.h"
#include "check/proc.h"
#include "common/files.h"
#include "common/text.h"

namespace plot
{

std::string machine_title(const std::string &cpuinfo)
{
    std::string text = memsweep::file_text(cpuinfo);
    std::string model = checks::model_name(text);
    std::string title = "memsweep on " + (model.empty() ? std::string("an unknown CPU") : model);
    std::string rate;
    if (checks::cpuinfo_field(text, "cpu MHz", &rate)) {
        rate.erase(0, rate.find_first_not_of(" \t"));
        rate.erase(rate.find_last_not_of(" \t\r") + 1);
        char *end = nullptr;
        double mhz = strtod(rate.c_str(), &end);
        bool plain = !rate.empty() && rate.find_first_not_of("0123456789.") == std::string::npos;
        if (plain && end != nullptr && *end == '\0' && mhz > 0.0)
            title += " at " + memsweep::fixed(mhz, 0) + " MHz";
    }
    return title;
}

/* The sizes are read as the checks read them (check/proc.h). */
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
        long n = checks::number(level);
        uint64_t bytes = checks::cache_bytes(size);
        if (n < 1 || bytes == 0 || (type != "Data" && type != "Unified"))
            continue;
        caches.push_back({memsweep::cache_name(n, type), bytes});
    }
    return caches;
}

}  // namespace plot
