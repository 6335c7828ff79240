// SPDX-License-Identifier: MIT
/*
 * chase.cpp -- the pointer-chase kernel, which is what memsweep-record's
 * latency measures.
 *
 * The loop is written in assembly because its machine code is the
 * measurement: one load whose address register is also its destination, one
 * count step and one branch, and nothing else.  No compiler may unroll it,
 * interleave a second chain, prefetch ahead or turn the count into a second
 * induction variable.  The build compiles this file with the read kernel's
 * fixed flags all the same, and a test disassembles the result.
 *
 * The harness discards the result; the loads survive because the assembly
 * is volatile, and the result depends on the final address.
 */
#include "latency/chase.h"

#include <stdint.h>

const void *chase_start = nullptr;

int chase(int loads, int unused)
{
    (void)unused;
    const void *p = chase_start;
    if (loads > 0) {
        /* In C: while (n-- > 0) p = *(const void *const *)p; */
        int64_t n = loads;
#if defined(__x86_64__)
        __asm__ volatile(
            ".p2align 4\n"
            "1:\n\t"
            "movq (%[p]), %[p]\n\t"
            "subq $1, %[n]\n\t"
            "jnz 1b"
            : [p] "+r"(p), [n] "+r"(n)
            :
            : "cc", "memory");
#elif defined(__aarch64__)
        __asm__ volatile(
            ".p2align 4\n"
            "1:\n\t"
            "ldr %[p], [%[p]]\n\t"
            "subs %[n], %[n], #1\n\t"
            "b.ne 1b"
            : [p] "+r"(p), [n] "+r"(n)
            :
            : "cc", "memory");
#else
#error "the chase is written for x86-64 and 64-bit Arm"
#endif
    }
    /* Truncated to 32 bits: the timed_fn shape returns an int. */
    return (int)(uint32_t)(uintptr_t)p;
}
