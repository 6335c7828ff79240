// SPDX-License-Identifier: MIT
/*
 * kernel_write_neon.cpp -- the write with 16-byte NEON stores of a constant.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_write_neon(void *buffer, size_t bytes)
{
    return write_loop<Neon, false>(buffer, bytes);
}
