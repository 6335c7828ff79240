// SPDX-License-Identifier: MIT
/*
 * kernel_vector_read_avx512.cpp -- the vector read with 64-byte AVX-512F loads.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_vector_read_avx512(void *buffer, size_t bytes)
{
    return read_loop<Avx512>(buffer, bytes);
}
