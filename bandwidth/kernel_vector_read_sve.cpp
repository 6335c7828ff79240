// SPDX-License-Identifier: MIT
/*
 * kernel_vector_read_sve.cpp -- the vector read with SVE's loads, of
 * whatever vector length the processor has (128 to 2048 bits): eight
 * vectors a step into eight sums, then the rest of the working set a
 * predicated vector at a time, as eight vectors may be more than 1 KiB.
 */
#include "bandwidth/kernels.h"

#include <arm_sve.h>

// cppcheck-suppress constParameterPointer ; every kernel has the one shape, writers too
uint64_t bw_vector_read_sve(void *buffer, size_t bytes)
{
    const uint64_t *p = static_cast<const uint64_t *>(buffer);
    const uint64_t words = bytes / 8;
    const uint64_t n = svcntd();  // words a vector
    const svbool_t all = svptrue_b64();
    // NOLINTNEXTLINE(readability-isolate-declaration)
    svuint64_t a0 = svdup_u64(0), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    uint64_t i = 0;
    for (; i + 8 * n <= words; i += 8 * n) {
        a0 = svadd_x(all, a0, svld1(all, p + i));
        a1 = svadd_x(all, a1, svld1(all, p + i + n));
        a2 = svadd_x(all, a2, svld1(all, p + i + 2 * n));
        a3 = svadd_x(all, a3, svld1(all, p + i + 3 * n));
        a4 = svadd_x(all, a4, svld1(all, p + i + 4 * n));
        a5 = svadd_x(all, a5, svld1(all, p + i + 5 * n));
        a6 = svadd_x(all, a6, svld1(all, p + i + 6 * n));
        a7 = svadd_x(all, a7, svld1(all, p + i + 7 * n));
    }
    for (; i < words; i += n) {
        svbool_t some = svwhilelt_b64(i, words);
        a0 = svadd_m(some, a0, svld1(some, p + i));
    }
    svuint64_t sum = svadd_x(all, svadd_x(all, svadd_x(all, a0, a1), svadd_x(all, a2, a3)),
                             svadd_x(all, svadd_x(all, a4, a5), svadd_x(all, a6, a7)));
    return svaddv(all, sum);
}
