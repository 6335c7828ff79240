// SPDX-License-Identifier: MIT
/*
 * reader.h -- the record's reader: a memsweep-record JSON record (schema.h,
 * as memsweep-record(1) documents it), or a plain table as memsweep and
 * memsweep-record print it, read into the record's model (model.h).
 * Programs that judge or draw records read them through this one reader
 * and nothing else.
 *
 * The reader trusts nothing in its text: a truncated file, JSON that is no
 * record, a record of another version, numbers that are no figures, lists
 * that don't match, nesting deeper than a record's, more objects than any
 * record holds and files larger than any record are refused with one line
 * that says why.  Text taken from a record (the CPU model, warnings, kernels' names) is kept as it is; a
 * program that prints it scrubs it (one_line).
 */
#ifndef MEMSWEEP_FORMAT_READER_H
#define MEMSWEEP_FORMAT_READER_H

#include <string>

#include "format/model.h"

namespace format
{

/* read_record reads a record's JSON text into *r; false with *error set to
 * one line (without a file name) when it is not one. */
bool read_record(const std::string &text, Record *r, std::string *error);

/* read_table reads memsweep's or memsweep-record's table: lines of label,
 * stride and GB/s, empty lines skipped.  False with *error set when it is
 * not one. */
bool read_table(const std::string &text, Record *r, std::string *error);

/* read_input reads either, told apart by the first character other than a
 * blank: "{" or "[" is JSON, anything else a table.  A UTF-8 byte order
 * mark before it is skipped. */
bool read_input(const std::string &text, Record *r, std::string *error);

/* read_file reads a file ("-": standard input) of at most max_record_bytes
 * and then read_input's it; *error names the problem without the name: a
 * folder, or a standard input that is closed, is said to be one. */
bool read_file(const std::string &path, Record *r, std::string *error);

/* one_line makes text fit for one line of a terminal or a tab-separated
 * file, as common/shown.h's shown_line does: C0 controls (tab and newline
 * among them), DEL, the C1 controls and bytes that are not well-formed
 * UTF-8 become '?'. */
std::string one_line(const std::string &text);

}  // namespace format

#endif /* MEMSWEEP_FORMAT_READER_H */
