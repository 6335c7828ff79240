// SPDX-License-Identifier: MIT
/*
 * kernel_copy_avx512.cpp -- the copy with 64-byte AVX-512F loads and stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_copy_avx512(void *buffer, size_t bytes)
{
    return copy_loop<Avx512>(buffer, bytes);
}
