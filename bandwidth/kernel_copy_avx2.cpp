// SPDX-License-Identifier: MIT
/*
 * kernel_copy_avx2.cpp -- the copy with 32-byte AVX2 loads and stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_copy_avx2(void *buffer, size_t bytes)
{
    return copy_loop<Avx2>(buffer, bytes);
}
