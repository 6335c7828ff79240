// SPDX-License-Identifier: MIT
/*
 * kernel_nt_write_avx2.cpp -- the non-temporal write with 32-byte AVX2 streaming stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_nt_write_avx2(void *buffer, size_t bytes)
{
    return write_loop<Avx2, true>(buffer, bytes);
}
