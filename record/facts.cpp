// SPDX-License-Identifier: MIT
/*
 * facts.cpp -- this machine's facts, from its own /proc and /sys.
 */
#include "record/facts.h"

namespace record {

checks::Facts machine_facts(double seconds)
{
    return checks::gather("", seconds);
}

}  // namespace record
