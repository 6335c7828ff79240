// SPDX-License-Identifier: MIT
/*
 * loops.h -- the vector kernels' loops, written once for every vector
 * width.  Each kernel file includes this header, compiled with its own
 * instruction set, and instantiates one loop with one width: Sse2 always,
 * Avx2 where the file is compiled with -mavx2, Avx512 with -mavx512f.
 *
 * Everything here has internal linkage (an unnamed namespace) and is forced
 * inline, so that each kernel's code is its own file's, compiled with that
 * file's flags: no copy compiled for another instruction set can stand in
 * for it at link time.
 *
 * A step moves eight vectors through eight registers, so that eight loads
 * (or stores) are in flight at once, independent of each other: enough for
 * two a cycle over any load's latency from the first-level cache.
 */
#ifndef MEMSWEEP_BANDWIDTH_LOOPS_H
#define MEMSWEEP_BANDWIDTH_LOOPS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#define BW_INLINE inline __attribute__((always_inline))

namespace {

/* ====================== The widths ====================== */

#if defined(__x86_64__)

/* A width: its register, its size, and the operations the loops use. */
struct Sse2 {
    using reg = __m128i;
    static const size_t bytes = 16;
    static BW_INLINE reg zero() { return _mm_setzero_si128(); }
    static BW_INLINE reg fill(int64_t v) { return _mm_set1_epi64x(v); }
    static BW_INLINE reg load(const char *p) { return _mm_load_si128(reinterpret_cast<const reg *>(p)); }
    static BW_INLINE reg add(reg a, reg b) { return _mm_add_epi64(a, b); }
    static BW_INLINE void store(char *p, reg v) { _mm_store_si128(reinterpret_cast<reg *>(p), v); }
    static BW_INLINE void stream(char *p, reg v) { _mm_stream_si128(reinterpret_cast<reg *>(p), v); }
    static BW_INLINE void fence() { _mm_sfence(); }
};

#ifdef __AVX2__
struct Avx2 {
    using reg = __m256i;
    static const size_t bytes = 32;
    static BW_INLINE reg zero() { return _mm256_setzero_si256(); }
    static BW_INLINE reg fill(int64_t v) { return _mm256_set1_epi64x(v); }
    static BW_INLINE reg load(const char *p) { return _mm256_load_si256(reinterpret_cast<const reg *>(p)); }
    static BW_INLINE reg add(reg a, reg b) { return _mm256_add_epi64(a, b); }
    static BW_INLINE void store(char *p, reg v) { _mm256_store_si256(reinterpret_cast<reg *>(p), v); }
    static BW_INLINE void stream(char *p, reg v) { _mm256_stream_si256(reinterpret_cast<reg *>(p), v); }
    static BW_INLINE void fence() { _mm_sfence(); }
};
#endif

#ifdef __AVX512F__
struct Avx512 {
    using reg = __m512i;
    static const size_t bytes = 64;
    static BW_INLINE reg zero() { return _mm512_setzero_si512(); }
    static BW_INLINE reg fill(int64_t v) { return _mm512_set1_epi64(v); }
    static BW_INLINE reg load(const char *p) { return _mm512_load_si512(p); }
    static BW_INLINE reg add(reg a, reg b) { return _mm512_add_epi64(a, b); }
    static BW_INLINE void store(char *p, reg v) { _mm512_store_si512(p, v); }
    static BW_INLINE void stream(char *p, reg v) { _mm512_stream_si512(reinterpret_cast<reg *>(p), v); }
    static BW_INLINE void fence() { _mm_sfence(); }
};
#endif

#elif defined(__aarch64__)

/* NEON's 16-byte vectors.  Its non-temporal store is STNP, a pair of
 * registers: the vector's two halves, a hint that the hardware may ignore;
 * the DSB after them waits until they are done. */
struct Neon {
    using reg = uint64x2_t;
    static const size_t bytes = 16;
    static BW_INLINE reg zero() { return vdupq_n_u64(0); }
    static BW_INLINE reg fill(int64_t v) { return vdupq_n_u64((uint64_t)v); }
    static BW_INLINE reg load(const char *p) { return vld1q_u64(reinterpret_cast<const uint64_t *>(p)); }
    static BW_INLINE reg add(reg a, reg b) { return vaddq_u64(a, b); }
    static BW_INLINE void store(char *p, reg v) { vst1q_u64(reinterpret_cast<uint64_t *>(p), v); }
    // cppcheck-suppress constParameterPointer ; the assembly stores through it
    static BW_INLINE void stream(char *p, reg v)
    {
        __asm__ volatile("stnp %d[lo], %d[hi], [%[p]]"
                         :
                         : [lo] "w"(vget_low_u64(v)), [hi] "w"(vget_high_u64(v)), [p] "r"(p)
                         : "memory");
    }
    static BW_INLINE void fence() { __asm__ volatile("dsb ish" : : : "memory"); }
};

#endif

/* ====================== The loops ====================== */

/* The stores write this pattern: not one byte repeated, so that no
 * compiler could take a loop of them for a fill of memory. */
const int64_t store_pattern = 0x0123456789abcdefLL;

/* read_loop adds every 8-byte word of [p, p + bytes) into eight vector sums
 * and returns the total. */
template <class W>
BW_INLINE uint64_t read_loop(void *buffer, size_t bytes)
{
    using reg = typename W::reg;
    const size_t n = W::bytes;
    const char *p = static_cast<const char *>(buffer);
    const char *end = p + bytes;
    /* Eight sums, one a register, side by side as the loop uses them. */
    // NOLINTNEXTLINE(readability-isolate-declaration)
    reg a0 = W::zero(), a1 = W::zero(), a2 = W::zero(), a3 = W::zero();
    // NOLINTNEXTLINE(readability-isolate-declaration)
    reg a4 = W::zero(), a5 = W::zero(), a6 = W::zero(), a7 = W::zero();
    for (; p < end; p += 8 * n) {
        a0 = W::add(a0, W::load(p));
        a1 = W::add(a1, W::load(p + n));
        a2 = W::add(a2, W::load(p + 2 * n));
        a3 = W::add(a3, W::load(p + 3 * n));
        a4 = W::add(a4, W::load(p + 4 * n));
        a5 = W::add(a5, W::load(p + 5 * n));
        a6 = W::add(a6, W::load(p + 6 * n));
        a7 = W::add(a7, W::load(p + 7 * n));
    }
    reg all = W::add(W::add(W::add(a0, a1), W::add(a2, a3)), W::add(W::add(a4, a5), W::add(a6, a7)));
    /* Summed without a loop: the kernel's one loop is the one above. */
    alignas(64) uint64_t lanes[8] = {};
    W::store(reinterpret_cast<char *>(lanes), all);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
}

/* put stores one vector, non-temporal with Stream. */
template <class W, bool Stream>
BW_INLINE void put(char *p, typename W::reg v)
{
    if (Stream)
        W::stream(p, v);
    else
        W::store(p, v);
}

/* write_loop stores the pattern over [p, p + bytes); with Stream, as
 * non-temporal stores, fenced at the end. */
template <class W, bool Stream>
BW_INLINE uint64_t write_loop(void *buffer, size_t bytes)
{
    using reg = typename W::reg;
    const size_t n = W::bytes;
    char *p = static_cast<char *>(buffer);
    const char *end = p + bytes;
    const reg v = W::fill(store_pattern);
    for (; p < end; p += 8 * n) {
        put<W, Stream>(p, v);
        put<W, Stream>(p + n, v);
        put<W, Stream>(p + 2 * n, v);
        put<W, Stream>(p + 3 * n, v);
        put<W, Stream>(p + 4 * n, v);
        put<W, Stream>(p + 5 * n, v);
        put<W, Stream>(p + 6 * n, v);
        put<W, Stream>(p + 7 * n, v);
    }
    if (Stream)
        W::fence();
    return 0;
}

/* copy_loop copies the first half of [buffer, buffer + bytes) onto the
 * second half and returns 0. */
template <class W>
BW_INLINE uint64_t copy_loop(void *buffer, size_t bytes)
{
    using reg = typename W::reg;
    const size_t n = W::bytes;
    const char *from = static_cast<const char *>(buffer);
    char *to = static_cast<char *>(buffer) + bytes / 2;
    const char *end = to;
    for (; from < end; from += 8 * n, to += 8 * n) {
        /* All eight loads before the stores, as the lines' registers. */
        // NOLINTNEXTLINE(readability-isolate-declaration)
        reg v0 = W::load(from), v1 = W::load(from + n), v2 = W::load(from + 2 * n), v3 = W::load(from + 3 * n);
        // NOLINTNEXTLINE(readability-isolate-declaration)
        reg v4 = W::load(from + 4 * n), v5 = W::load(from + 5 * n), v6 = W::load(from + 6 * n);
        reg v7 = W::load(from + 7 * n);
        W::store(to, v0);
        W::store(to + n, v1);
        W::store(to + 2 * n, v2);
        W::store(to + 3 * n, v3);
        W::store(to + 4 * n, v4);
        W::store(to + 5 * n, v5);
        W::store(to + 6 * n, v6);
        W::store(to + 7 * n, v7);
    }
    return 0;
}

}  // namespace

#endif /* MEMSWEEP_BANDWIDTH_LOOPS_H */
