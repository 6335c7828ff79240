// SPDX-License-Identifier: MIT
/*
 * files.h -- whole files and sysfs values, read as this project's commands
 * read /proc and /sys.  Private to this project; not installed.
 */
#ifndef MEMSWEEP_COMMON_FILES_H
#define MEMSWEEP_COMMON_FILES_H

#include <stddef.h>

#include <string>

namespace memsweep {

/* Larger files are read only this far: /proc/cpuinfo of a 1,024-CPU machine
 * is a few megabytes, and /proc/stat or /proc/self/smaps smaller; a bigger
 * file is no real one, and reading it whole could exhaust memory. */
const size_t file_limit = size_t(64) << 20;

/* read_file reads at most file_limit bytes of the file at path into *text;
 * it returns false, with *text empty, when the file can't be opened. */
bool read_file(const std::string &path, std::string *text);

/* file_text returns read_file's text: "" when the file can't be read. */
std::string file_text(const std::string &path);

/* read_value reads the first line of a small file such as a sysfs value,
 * without its line end and surrounding blanks; false when it can't be
 * opened. */
bool read_value(const std::string &path, std::string *value);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_FILES_H */
