// SPDX-License-Identifier: MIT
/*
 * kernel_scalar_read.cpp -- memsweep's read kernel at stride 1, over a
 * buffer of the caller's: the bridge between memsweep's table and the
 * bandwidth plane.
 *
 * memsweep's own test() reads its one global array, and the plane gives
 * every thread a buffer of its own; so this is test()'s loop at stride 1,
 * instruction for instruction (a test compares the two): four 8-byte loads
 * into four sums, one index step, one compare and branch, then the tail one
 * by one.
 */
#include "bandwidth/kernels.h"

// cppcheck-suppress constParameterPointer ; every kernel has the one shape, writers too
uint64_t bw_scalar_read(void *buffer, size_t bytes)
{
    const int64_t *words = static_cast<const int64_t *>(buffer);
    int64_t elems = (int64_t)(bytes / 8);
    int64_t sx4 = 4;
    int64_t limit = elems - sx4;
    int64_t acc0 = 0;
    int64_t acc1 = 0;
    int64_t acc2 = 0;
    int64_t acc3 = 0;
    int64_t i = 0;

    if (limit > 0) {
        const int64_t *d0 = words;
        const int64_t *d1 = words + 1;
        const int64_t *d2 = words + 2;
        const int64_t *d3 = words + 3;
#if defined(__x86_64__)
        __asm__ volatile(
            ".p2align 4\n"
            "1:\n\t"
            "addq (%[d0],%[i],8), %[acc0]\n\t"
            "addq (%[d1],%[i],8), %[acc1]\n\t"
            "addq (%[d2],%[i],8), %[acc2]\n\t"
            "addq (%[d3],%[i],8), %[acc3]\n\t"
            "addq %[sx4], %[i]\n\t"
            "cmpq %[limit], %[i]\n\t"
            "jl 1b"
            : [i] "+r"(i), [acc0] "+r"(acc0), [acc1] "+r"(acc1), [acc2] "+r"(acc2), [acc3] "+r"(acc3)
            : [d0] "r"(d0), [d1] "r"(d1), [d2] "r"(d2), [d3] "r"(d3), [sx4] "r"(sx4), [limit] "r"(limit)
            : "cc", "memory");
#elif defined(__aarch64__)
        int64_t t0;
        int64_t t1;
        int64_t t2;
        int64_t t3;
        __asm__ volatile(
            ".p2align 4\n"
            "1:\n\t"
            "ldr %[t0], [%[d0], %[i], lsl #3]\n\t"
            "add %[acc0], %[acc0], %[t0]\n\t"
            "ldr %[t1], [%[d1], %[i], lsl #3]\n\t"
            "add %[acc1], %[acc1], %[t1]\n\t"
            "ldr %[t2], [%[d2], %[i], lsl #3]\n\t"
            "add %[acc2], %[acc2], %[t2]\n\t"
            "ldr %[t3], [%[d3], %[i], lsl #3]\n\t"
            "add %[acc3], %[acc3], %[t3]\n\t"
            "add %[i], %[i], %[sx4]\n\t"
            "cmp %[i], %[limit]\n\t"
            "b.lt 1b"
            : [i] "+r"(i), [acc0] "+r"(acc0), [acc1] "+r"(acc1), [acc2] "+r"(acc2), [acc3] "+r"(acc3),
              [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3)
            : [d0] "r"(d0), [d1] "r"(d1), [d2] "r"(d2), [d3] "r"(d3), [sx4] "r"(sx4), [limit] "r"(limit)
            : "cc", "memory");
#else
#error "the scalar read is written for x86-64 and 64-bit Arm"
#endif
    }
    /* The sums wrap round as the loop's adds do: in unsigned arithmetic,
     * where that is defined (a buffer of any bytes overflows them). */
    uint64_t sum = (uint64_t)acc0;
    for (; i < elems; i++)
        sum += (uint64_t)words[i];
    return sum + (uint64_t)acc1 + (uint64_t)acc2 + (uint64_t)acc3;
}
