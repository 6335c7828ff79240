// SPDX-License-Identifier: MIT
/*
 * cpu.h -- the instructions beside the kernels that the suite gives the
 * processor directly, in its own terms: a pause in a spin wait, the cache
 * line the processor states, and the flush of a buffer's lines out of every
 * cache.  x86-64 and 64-bit Arm.
 */
#ifndef MEMSWEEP_MACHINE_CPU_H
#define MEMSWEEP_MACHINE_CPU_H

#include <stddef.h>
#include <stdint.h>

#if defined(__x86_64__)
#include <cpuid.h>
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

/* The smallest data cache line as the processor states it, and the
 * register that says so. */
struct StatedLine {
    size_t bytes;
    const char *source;
};

/* stated_line reads CPUID leaf 1's CLFLUSH line size (EBX bits 15:8, in
 * 8-byte units), or CTR_EL0's DminLine (bits 19:16, log2 of its 4-byte
 * words), which EL0 may read; 0 bytes where CPUID has no leaf 1. */
inline StatedLine stated_line()
{
#if defined(__x86_64__)
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return {0, "CPUID"};
    return {size_t((b >> 8) & 0xff) * 8, "CPUID"};
#elif defined(__aarch64__)
    uint64_t ctr;
    __asm__ volatile("mrs %0, ctr_el0" : "=r"(ctr));
    return {size_t(4) << ((ctr >> 16) & 0xf), "CTR_EL0"};
#else
#error "stated_line is written for x86-64 and 64-bit Arm"
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
    const size_t line = stated_line().bytes;
    for (size_t i = 0; i < bytes; i += line)
        __asm__ volatile("dc civac, %0" : : "r"(at + i) : "memory");
    __asm__ volatile("dsb ish" : : : "memory");
#else
#error "flush_lines is written for x86-64 and 64-bit Arm"
#endif
}

}  // namespace machine

#endif /* MEMSWEEP_MACHINE_CPU_H */
