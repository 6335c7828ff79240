// SPDX-License-Identifier: MIT
/*
 * kernel_write_avx512.cpp -- the write with 64-byte AVX-512F stores of a constant.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_write_avx512(void *buffer, size_t bytes)
{
    return write_loop<Avx512, false>(buffer, bytes);
}
