// SPDX-License-Identifier: MIT
/*
 * kernel_nt_write_neon.cpp -- the non-temporal write: STNP pairs of a constant,
 * a hint the hardware may ignore, and a DSB at the end.
 */
#include "bandwidth/kernels.h"
#include "bandwidth/loops.h"

uint64_t bw_nt_write_neon(void *buffer, size_t bytes)
{
    return write_loop<Neon, true>(buffer, bytes);
}
