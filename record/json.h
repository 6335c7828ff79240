// SPDX-License-Identifier: MIT
/*
 * json.h -- a memsweep-record session's record: one JSON object whose
 * layout (format "memsweep-record", version 1) is documented in
 * memsweep-record(1).  The checks' reports in it are made here, from the
 * checks as they were judged.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_JSON_H
#define MEMSWEEP_RECORD_JSON_H

#include <nlohmann/json.hpp>

#include "record/session.h"

namespace record {

using json = nlohmann::ordered_json;

/* The record's name and layout version: a reader checks both. */
extern const char format_name[];
extern const int format_version;

/* record_json returns the whole record. */
json record_json(const Session &s);

}  // namespace record

#endif /* MEMSWEEP_RECORD_JSON_H */
