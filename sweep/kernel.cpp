// SPDX-License-Identifier: MIT
/*
 * kernel.cpp -- the strided read kernel, which is what memsweep measures.
 *
 * The main loop is written in assembly because its machine code is the
 * measurement: four scalar 8-byte loads added into four independent sums, one
 * index step, one compare and branch, and nothing else.  Left to themselves,
 * compilers vectorise it, unroll it, or add a second induction variable,
 * depending on the compiler and its flags.  The tail loop is plain C; the
 * build still compiles this file at a fixed optimisation level without
 * vectorisation, unrolling or link-time optimisation, and a test
 * disassembles the result.
 *
 * The harness discards the kernel's sum.  The loads survive because the
 * kernel is called through a pointer from another translation unit and the
 * assembly is volatile.
 */
#include "sweep/sweep.h"

/* Aligned to the largest transparent huge page it can sit on: every
 * working set starts on a line boundary, and where huge pages are asked
 * for (as memsweep-record --pages huge does) the array's first byte can sit
 * on one, as its last does, rather than the first part of it staying on
 * small pages.  x86-64's huge page is 2 MiB; 64-bit Arm's is 2 MiB with
 * 4 KiB pages and 32 MiB with 16 KiB pages, and 32 MiB serves both (with
 * 64 KiB pages it is 512 MiB, larger than the array).  It is zero at load;
 * init_data writes it once before anything is measured. */
#if defined(__aarch64__)
#define DATA_ALIGNMENT 33554432
#else
#define DATA_ALIGNMENT 2097152
#endif
alignas(DATA_ALIGNMENT) int64_t data[DATA_ELEMS];

int test(int elems, int stride)
{
    /* Multiples of the stride are taken in 32 bits, then widened, here and
     * below: widening first would change the kernel's instructions. */
    // cppcheck-suppress truncLongCastAssignment
    int64_t sx4 = stride * 4;  // NOLINT(bugprone-implicit-widening-of-multiplication-result)
    int64_t limit = (int64_t)elems - sx4;
    int64_t acc0 = 0, acc1 = 0, acc2 = 0, acc3 = 0;
    int64_t i = 0;

    if (limit > 0) {
        /* Four streams, stride elements apart, each with its own base and its
         * own sum, so that every load address is base + 8 * i and each
         * addition waits only for its own load.  In C:
         *
         *     for (; i < limit; i += sx4) {
         *         acc0 += d0[i]; acc1 += d1[i]; acc2 += d2[i]; acc3 += d3[i];
         *     }
         */
        // cppcheck-suppress truncLongCastAssignment
        int64_t sx2 = stride * 2, sx3 = stride * 3;  // NOLINT(bugprone-implicit-widening-of-multiplication-result)
        const int64_t *d0 = data, *d1 = data + stride, *d2 = data + sx2, *d3 = data + sx3;
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
        /* The same loop in 64-bit Arm's terms: a load into a scratch
         * register and an add a stream, as the load can't add to memory. */
        int64_t t0, t1, t2, t3;
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
#error "memsweep's read loop is written for x86-64 and 64-bit Arm"
#endif
    }
    /* The strict test above leaves 1 to stride * 4 elements; they are read
     * one by one, not one stride at a time. */
    for (; i < elems; i++)
        acc0 += data[i];

    /* Truncated to 32 bits with two's-complement wrap-around. */
    return (int)(acc0 + acc1 + acc2 + acc3);
}
