// SPDX-License-Identifier: MIT
/*
 * kernel_write_sse2.cpp -- the write with 16-byte SSE2 stores of a constant.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_write_sse2(void *buffer, size_t bytes)
{
    return write_loop<Sse2, false>(buffer, bytes);
}
