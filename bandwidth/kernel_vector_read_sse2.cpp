// SPDX-License-Identifier: MIT
/*
 * kernel_vector_read_sse2.cpp -- the vector read with 16-byte SSE2 loads.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_vector_read_sse2(void *buffer, size_t bytes)
{
    return read_loop<Sse2>(buffer, bytes);
}
