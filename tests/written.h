// SPDX-License-Identifier: MIT
/*
 * written.h -- a session as the writer writes it, parsed back as JSON, for
 * tests that look at the record's text.
 */
#ifndef MEMSWEEP_TESTS_WRITTEN_H
#define MEMSWEEP_TESTS_WRITTEN_H

#include <nlohmann/json.hpp>

#include "format/writer.h"
#include "record/model.h"

using json = nlohmann::ordered_json;

/* record_json returns the record the writer makes of s. */
inline json record_json(const record::Session &s)
{
    return json::parse(format::write_record(record::model_of(s)).text);
}

#endif /* MEMSWEEP_TESTS_WRITTEN_H */
