// SPDX-License-Identifier: MIT
/*
 * metrics.h -- a record's summary figures in the text exposition format of
 * Prometheus, version 0.0.4, which node_exporter's textfile collector reads
 * (memsweep-record --metrics).  Every series is a gauge with the host and
 * the CPU as labels, its unit in its name:
 *
 *   memsweep_info                              1, with version and isa labels
 *   memsweep_bandwidth_bytes_per_second        per kernel and thread count, at the memory
 *   memsweep_memory_read_bytes_per_second      the plane's memory figure
 *   memsweep_latency_seconds                   per level: L1d, L2 ..., memory
 *   memsweep_rated_peak_bytes_per_second       where the rated peak is known
 *   memsweep_rated_peak_share_ratio            the memory figure over it
 *   memsweep_record_end_timestamp_seconds      when the session ended
 *
 * Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_METRICS_H
#define MEMSWEEP_RECORD_METRICS_H

#include <string>

#include "format/model.h"

namespace record {

/* label_value escapes a label's value as the format asks: backslash,
 * double quote and line feed, after control characters are shown as '?'
 * (common/shown.h). */
std::string label_value(const std::string &text);

/* metrics_text returns the record's series, each with its HELP and TYPE
 * lines; a figure the record lacks is left out. */
std::string metrics_text(const format::Record &r);

}  // namespace record

#endif /* MEMSWEEP_RECORD_METRICS_H */
