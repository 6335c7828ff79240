// SPDX-License-Identifier: MIT
/*
 * kernel_copy_sse2.cpp -- the copy with 16-byte SSE2 loads and stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_copy_sse2(void *buffer, size_t bytes)
{
    return copy_loop<Sse2>(buffer, bytes);
}
