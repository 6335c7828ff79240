// SPDX-License-Identifier: MIT
/*
 * kernel_zero_dc_zva.cpp -- the zero: DC ZVA, which zeroes a whole block
 * without reading it, over every block that lies inside the working set, at
 * the block size DCZID_EL0 states (4 bytes times 2 to the power of its low
 * four bits: 64 on most cores, 512 under the emulator; never assumed), and
 * zeros stored a word at a time before the first block and after the last,
 * where the working set does not begin or end on one.  Chosen only where
 * DCZID_EL0's prohibit bit is clear (isa_arm64.cpp).
 */
#include "bandwidth/kernels.h"

uint64_t bw_zero_dc_zva(void *buffer, size_t bytes)
{
    uint64_t dczid;
    __asm__ volatile("mrs %0, dczid_el0" : "=r"(dczid));
    const size_t block = size_t(4) << (dczid & 0xf);
    char *const begin = static_cast<char *>(buffer);
    char *const end = begin + bytes;
    const size_t head = (block - reinterpret_cast<uintptr_t>(begin) % block) % block;
    char *first = begin + (head < bytes ? head : bytes);
    char *last = end - reinterpret_cast<uintptr_t>(end) % block;
    if (first >= last)
        first = last = end; /* no whole block: words alone */
    /* Volatile, so that the words stay stores and become no call. */
    for (char *at = begin; at < first; at += 8)
        *reinterpret_cast<volatile uint64_t *>(at) = 0;
    for (char *at = first; at < last; at += block)
        __asm__ volatile("dc zva, %0" : : "r"(at) : "memory");
    for (char *at = last; at < end; at += 8)
        *reinterpret_cast<volatile uint64_t *>(at) = 0;
    return 0;
}
