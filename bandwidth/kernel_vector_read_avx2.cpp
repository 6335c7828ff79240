// SPDX-License-Identifier: MIT
/*
 * kernel_vector_read_avx2.cpp -- the vector read with 32-byte AVX2 loads.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_vector_read_avx2(void *buffer, size_t bytes)
{
    return read_loop<Avx2>(buffer, bytes);
}
