// SPDX-License-Identifier: MIT
// A made-up machine for memsweep-record's scripted command, linked in place
// of record/facts.cpp: this machine's files, gathered without the watch or
// the counter's rate, with caches and free memory of its own, so that the session's latency
// sizes and its memory are the same on every host.
#ifndef MEMSWEEP_TESTS_FAKE_FACTS_H
#define MEMSWEEP_TESTS_FAKE_FACTS_H

#include <stdint.h>

#include <vector>

#include "latency/latency.h"

namespace fake_facts {

// cpu0's caches: 32 KiB, 256 KiB and 2 MiB.
inline const std::vector<latency::Cache> caches = {{"L1d", 32 << 10}, {"L2", 256 << 10}, {"L3", 2 << 20}};

// MemAvailable, in MiB: what memsweep's array leaves of it keeps the
// latency's largest working set at 16 MiB.
inline const double available_mib = 144.0;

}  // namespace fake_facts

#endif
