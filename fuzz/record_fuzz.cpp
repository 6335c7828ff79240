// SPDX-License-Identifier: MIT
// A libFuzzer target for the record's reader, which memsweep-compare runs
// on files from anywhere: arbitrary bytes as a record or a table.  The
// reader must refuse what it can't read with one line, and never crash or
// read out of bounds; what it reads the writer must write, and that the
// reader must read back to the same record.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "format/reader.h"
#include "format/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(bytes), size);
    format::Record r;
    std::string error;
    if (!format::read_input(text, &r, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            abort();
        return 0;
    }
    if (r.cells.empty())
        abort();
    if (r.is_table)
        return 0;
    // Once through the writer, a record is as the writer makes it: another
    // round through the reader and the writer changes nothing.
    format::Written first = format::write_record(r);
    if (!first.error.empty())
        abort();
    format::Record again;
    if (!format::read_record(first.text, &again, &error))
        abort();
    format::Written second = format::write_record(again);
    format::Record third;
    if (!format::read_record(second.text, &third, &error) || format::write_record(third).text != second.text)
        abort();
    return 0;
}
