// SPDX-License-Identifier: MIT
/*
 * facts.h -- what memsweep-record's checks read of this machine, in a unit
 * of its own so that a test can link a made-up machine in its place.
 * Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_FACTS_H
#define MEMSWEEP_RECORD_FACTS_H

#include "check/checks.h"

namespace record {

/* machine_facts gathers this machine's facts for the checks, watching it
 * for about `seconds` seconds, as memsweep-check does. */
checks::Facts machine_facts(double seconds);

}  // namespace record

#endif /* MEMSWEEP_RECORD_FACTS_H */
