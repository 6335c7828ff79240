// SPDX-License-Identifier: MIT
/*
 * text.h -- numbers, sizes and text from files as this project's commands
 * show them.  Private to this project; not installed.
 */
#ifndef MEMSWEEP_COMMON_TEXT_H
#define MEMSWEEP_COMMON_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace memsweep {

/* fixed formats a number with a given count of decimals, as printf's %.*f. */
std::string fixed(double value, int decimals);

/* size_text shows a size in the largest of MiB, KiB and bytes that divides
 * it, as "48 KiB" or "1280 KiB": memsweep's sizes are MiB at most. */
std::string size_text(uint64_t bytes);

/* cache_name names a cache as this project's commands and records do:
 * "L1d" for the first level's data cache, else "L2", "L3" ... by level
 * alone (a unified cache, or a data cache beyond the first). */
std::string cache_name(long level, const std::string &type);

/* gbs_text shows a bandwidth with three digits or so, without its unit:
 * "9.1", "25.3", "265". */
std::string gbs_text(double gbs);

/* ns_text shows a latency with two digits or more: "1.3 ns", "14 ns",
 * "92 ns". */
std::string ns_text(double ns);

/* count_text shows a count of things: "1 CPU", "2 CPUs". */
std::string count_text(uint64_t n, const std::string &thing);

/* A value taken from a file is shown with at most this many characters. */
const size_t shown_limit = 64;

/* shown returns text fit for one line of a terminal, as shown_line
 * (common/shown.h) makes it: every control character (C0, DEL, C1) and
 * every byte outside well-formed UTF-8 becomes '?', and more than limit
 * characters end in "...". */
std::string shown(const std::string &text, size_t limit = shown_limit);

/* whole_number reads a decimal number of digits alone, up to max; false
 * for anything else (a sign, blanks, more digits than max has). */
bool whole_number(const std::string &text, long long max, long long *value);

/* A number of a kernel's list is below this: no kernel numbers more CPUs
 * or nodes (x86-64's largest NR_CPUS is 8,192), and a process's masks are
 * read up to it. */
const long long list_number_limit = 1 << 20;

/* number_list reads a kernel's list of CPUs or nodes ("0-3,8,10-11", a
 * line end allowed); empty on any fault. */
std::vector<int> number_list(const std::string &text);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_TEXT_H */
