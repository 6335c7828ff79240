// SPDX-License-Identifier: MIT
/*
 * stats.h -- the figures' statistics every part of this project takes: the
 * median, and a spread of median, minimum and maximum.  Private to this
 * project; not installed.
 */
#ifndef MEMSWEEP_COMMON_STATS_H
#define MEMSWEEP_COMMON_STATS_H

#include <vector>

namespace memsweep {

/* The median, minimum and maximum of some figures, all 0 for none.  An
 * even count's median is the mean of the middle two. */
struct Spread {
    double median = 0.0, min = 0.0, max = 0.0;
};
Spread spread_of(std::vector<double> values);

/* median returns spread_of(values).median. */
double median(std::vector<double> values);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_STATS_H */
