// SPDX-License-Identifier: MIT
/*
 * schema.h -- the record's fixed facts: its name and layout version, the
 * limits a reader holds it to, and the marks the layout gives meaning.  The
 * layout itself is memsweep-record(1)'s section THE RECORD; the writer
 * (writer.h) and the reader (reader.h) are its only code.
 */
#ifndef MEMSWEEP_FORMAT_SCHEMA_H
#define MEMSWEEP_FORMAT_SCHEMA_H

#include <stddef.h>
#include <stdint.h>

namespace format
{

/* The record's "format" and "format_version": a reader checks both. */
constexpr const char *name = "memsweep-record";
constexpr int version = 1;

/* The most passes a session may measure, and a record may hold. */
constexpr int max_passes = 100;

/* memsweep's grid: a record has every one of its cells. */
constexpr int grid_cells = 210;

/* The largest file a reader takes, in bytes: a record of 100 passes with
 * its checks is well under a tenth of this. */
constexpr size_t max_record_bytes = size_t(64) << 20;

/* A record nests five deep (checks_before.checks.caches.cpu0[]); anything
 * much deeper is no record, and is refused before it is parsed. */
constexpr int max_depth = 32;

/* A kernel's or an instruction set's name is at most this long. */
constexpr size_t max_name = 64;

/* The loaded latency's idle point has no load, and this delay. */
constexpr uint64_t idle_delay = UINT64_MAX;

}  // namespace format

#endif /* MEMSWEEP_FORMAT_SCHEMA_H */
