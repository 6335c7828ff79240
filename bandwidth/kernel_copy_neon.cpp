// SPDX-License-Identifier: MIT
/*
 * kernel_copy_neon.cpp -- the copy with 16-byte NEON loads and stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_copy_neon(void *buffer, size_t bytes)
{
    return copy_loop<Neon>(buffer, bytes);
}
