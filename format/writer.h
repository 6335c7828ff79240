// SPDX-License-Identifier: MIT
/*
 * writer.h -- the record's writer: the model (model.h) as one JSON object,
 * of the layout that schema.h names and memsweep-record(1) documents.
 *
 * JSON has no number for infinity or NaN.  A latency, bandwidth or
 * loaded-latency point with a figure that is not finite (a pass timed at
 * zero cycles, say) is left out of its list, and a warning that names it
 * is added to the record's warnings; a drift reading likewise.  A record
 * has all of memsweep's cells and a clock: where a cell's figure, or the
 * counter's rate, is not finite, no record is written, and the error says
 * why in one line.  Every other figure that is not finite is written as
 * null, which the reader takes as unknown.
 */
#ifndef MEMSWEEP_FORMAT_WRITER_H
#define MEMSWEEP_FORMAT_WRITER_H

#include <string>
#include <vector>

#include "format/model.h"

namespace format
{

/* What the writer made: the record's text (ending in a newline), the
 * warnings it added for the points it left out, or why it made none. */
struct Written {
    std::string text;
    std::vector<std::string> left_out;
    std::string error; /* "" when text is the record */
};

/* write_record returns r as a record.  Text is written as it is, bytes
 * that are not UTF-8 replaced. */
Written write_record(const Record &r);

}  // namespace format

#endif /* MEMSWEEP_FORMAT_WRITER_H */
