// SPDX-License-Identifier: MIT
/*
 * stats.cpp -- the median and the spread.
 */
#include "common/stats.h"

#include <algorithm>
#include <utility>

namespace memsweep {

Spread spread_of(std::vector<double> values)
{
    Spread s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    s.min = values.front();
    s.max = values.back();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    return s;
}

double median(std::vector<double> values)
{
    return spread_of(std::move(values)).median;
}

}  // namespace memsweep
