// SPDX-License-Identifier: MIT
/*
 * kernel_write_avx2.cpp -- the write with 32-byte AVX2 stores of a constant.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_write_avx2(void *buffer, size_t bytes)
{
    return write_loop<Avx2, false>(buffer, bytes);
}
