// SPDX-License-Identifier: MIT
/*
 * grid.cpp -- memsweep's grid in memsweep's order.
 */
#include "common/grid.h"

namespace memsweep {

std::vector<Cell> grid()
{
    std::vector<Cell> cells;
    for (int label = largest_label; label >= 1; label--)
        for (int stride = 1; stride <= 15; stride++)
            cells.push_back({label, stride});
    return cells;
}

}  // namespace memsweep
