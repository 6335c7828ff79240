// SPDX-License-Identifier: MIT
/*
 * files.h -- whole files and sysfs values, read as this project's commands
 * read /proc and /sys.  Private to this project; not installed.
 *
 * Only a regular file is read (/proc and /sys files are regular): a FIFO
 * would hold the reader until a writer came, a device such as /dev/zero
 * would never end, and a folder has no text.  Each is treated as a file
 * that can't be read, as are the ones that can't be opened.  The file is
 * opened without blocking, so that even a FIFO that takes the file's name
 * between the look and the open can't hold the reader.
 */
#ifndef MEMSWEEP_COMMON_FILES_H
#define MEMSWEEP_COMMON_FILES_H

#include <stddef.h>

#include <string>

namespace memsweep {

/* Larger files are read only this far, and the text that is read stands
 * for the whole file: what lies beyond is not looked at.  /proc/cpuinfo of
 * a 4,096-CPU machine is about 6 MiB, and /proc/stat or /proc/self/smaps
 * smaller; a bigger file is no real one, and reading it whole could
 * exhaust memory. */
const size_t file_limit = size_t(16) << 20;

/* read_file reads at most file_limit bytes of the regular file at path into
 * *text; it returns false, with *text empty, when there is no regular file
 * there or it can't be opened or read. */
bool read_file(const std::string &path, std::string *text);

/* file_text returns read_file's text: "" when the file can't be read. */
std::string file_text(const std::string &path);

/* read_value reads the first line of a small regular file such as a sysfs
 * value (its first 4,095 bytes at most), without its line end and
 * surrounding blanks; false when read_file would be. */
bool read_value(const std::string &path, std::string *value);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_FILES_H */
