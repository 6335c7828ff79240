// SPDX-License-Identifier: MIT
/*
 * parse.h -- the two number readers that gathering and judging share: the
 * gatherer picks the numbered folders it reads (cpu3, index2) with them, and
 * the judges read numbered lines and values.  Private to the checks.
 */
#ifndef MEMSWEEP_CHECK_PARSE_H
#define MEMSWEEP_CHECK_PARSE_H

#include <cstdlib>
#include <string>

namespace checks {

/* number returns the value of one to nine decimal digits, else -1. */
inline long number(const std::string &digits)
{
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return strtol(digits.c_str(), nullptr, 10);
}

/* numbered returns n for a name of the form prefix + digits, else -1. */
inline long numbered(const std::string &name, const std::string &prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0 ? number(name.substr(prefix.size())) : -1;
}

}  // namespace checks

#endif /* MEMSWEEP_CHECK_PARSE_H */
