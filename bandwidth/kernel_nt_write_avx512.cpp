// SPDX-License-Identifier: MIT
/*
 * kernel_nt_write_avx512.cpp -- the non-temporal write with 64-byte AVX-512F streaming stores.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_nt_write_avx512(void *buffer, size_t bytes)
{
    return write_loop<Avx512, true>(buffer, bytes);
}
