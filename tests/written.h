// SPDX-License-Identifier: MIT
/*
 * written.h -- a session as the writer writes it, parsed back as JSON, for
 * tests that look at the record's text.
 */
#ifndef MEMSWEEP_TESTS_WRITTEN_H
#define MEMSWEEP_TESTS_WRITTEN_H

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "format/writer.h"
#include "record/model.h"

using json = nlohmann::ordered_json;

/* record_json returns the record the writer makes of s. */
inline json record_json(const record::Session &s)
{
    return json::parse(format::write_record(record::model_of(s)).text);
}

/* set_at sets the member at a JSON pointer ("/cells/5/passes") of j, key
 * by key: the library's own pointer lookups use a comparison it deprecates,
 * which clang reports where a program instantiates them. */
inline void set_at(json &j, const std::string &pointer, const json &value)
{
    json *at = &j;
    std::istringstream parts(pointer.substr(1));
    for (std::string part; std::getline(parts, part, '/');)
        at = at->is_array() ? &(*at)[std::stoul(part)] : &(*at)[part];
    *at = value;
}

#endif /* MEMSWEEP_TESTS_WRITTEN_H */
