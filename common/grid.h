// SPDX-License-Identifier: MIT
/*
 * grid.h -- memsweep's grid, as every command of this project sees it: the
 * size labels 1 to 14 (a working set of 2^(label + 13) bytes, 16 KiB to
 * 128 MiB) and the strides 1 to 15 (in 8-byte elements), in memsweep's
 * order.  Private to this project; not installed.
 */
#ifndef MEMSWEEP_COMMON_GRID_H
#define MEMSWEEP_COMMON_GRID_H

#include <stdint.h>

#include <vector>

namespace memsweep {

/* memsweep's largest size label: 128 MiB. */
const int largest_label = 14;

/* label_bytes returns the working set of a size label, in bytes. */
constexpr uint64_t label_bytes(int label)
{
    return uint64_t(1) << (label + 13);
}

/* One grid point: a size label and a stride. */
struct Cell {
    int label;
    int stride;
    int bytes() const { return (int)label_bytes(label); }
};

/* grid returns memsweep's 210 cells in memsweep's order: labels 14 down to
 * 1, and within each the strides 1 to 15. */
std::vector<Cell> grid();

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_GRID_H */
