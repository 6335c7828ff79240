// SPDX-License-Identifier: MIT
/*
 * kernel_nt_write_sse2.cpp -- the non-temporal write with 16-byte SSE2 streaming stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_nt_write_sse2(void *buffer, size_t bytes)
{
    return write_loop<Sse2, true>(buffer, bytes);
}
