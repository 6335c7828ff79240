// SPDX-License-Identifier: MIT
/*
 * kernel_vector_read_neon.cpp -- the vector read with 16-byte NEON loads into eight sums.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_vector_read_neon(void *buffer, size_t bytes)
{
    return read_loop<Neon>(buffer, bytes);
}
