// SPDX-License-Identifier: MIT
/*
 * cpu.h -- the two instructions beside the kernels that the suite gives the
 * processor directly, in its own terms: a pause in a spin wait, and the
 * flush of a buffer's lines out of every cache.  x86-64 and 64-bit Arm.
 */
#ifndef MEMSWEEP_MACHINE_CPU_H
#define MEMSWEEP_MACHINE_CPU_H

#include <stddef.h>
#include <stdint.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace machine
{

/* spin_pause tells the core that it waits in a loop: PAUSE, or YIELD. */
inline void spin_pause()
{
#if defined(__x86_64__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ volatile("yield");
#else
#error "spin_pause is written for x86-64 and 64-bit Arm"
#endif
}

/* flush_lines writes back and drops every line of [p, p + bytes) from every
 * cache, and waits until that is done: CLFLUSH a 64-byte line and MFENCE,
 * or DC CIVAC a line of the size CTR_EL0 gives and DSB. */
inline void flush_lines(const void *p, size_t bytes)
{
    const char *at = static_cast<const char *>(p);
#if defined(__x86_64__)
    for (size_t i = 0; i < bytes; i += 64)
        _mm_clflush(at + i);
    _mm_mfence();
#elif defined(__aarch64__)
    uint64_t ctr;
    __asm__ volatile("mrs %0, ctr_el0" : "=r"(ctr));
    const size_t line = size_t(4) << ((ctr >> 16) & 0xf);  // DminLine: log2 of its words
    for (size_t i = 0; i < bytes; i += line)
        __asm__ volatile("dc civac, %0" : : "r"(at + i) : "memory");
    __asm__ volatile("dsb ish" : : : "memory");
#else
#error "flush_lines is written for x86-64 and 64-bit Arm"
#endif
}

}  // namespace machine

#endif /* MEMSWEEP_MACHINE_CPU_H */
