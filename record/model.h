// SPDX-License-Identifier: MIT
/*
 * model.h -- a session as the record's model (format/model.h), which the
 * writer writes.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_MODEL_H
#define MEMSWEEP_RECORD_MODEL_H

#include "format/model.h"
#include "record/session.h"

namespace record {

/* model_of returns what the session found as a record: its cells in
 * memsweep's order, its latency by size, its plane's points that were
 * measured, and its loaded latency with the idle point first, then each
 * kernel's points by delay. */
format::Record model_of(const Session &s);

}  // namespace record

#endif /* MEMSWEEP_RECORD_MODEL_H */
