// SPDX-License-Identifier: MIT
// memsweep_vector_read -- a small vector read of its own, to check the
// bandwidth plane's vector-read from outside: its own buffer, its own loop
// and the system clock, none of memsweep's code.
//
//   memsweep_vector_read [BYTES...]      (default: 16384 134217728)
//
// For each working set it reads the buffer with the widest vector loads the
// processor runs (AVX-512F, AVX2 or SSE2, as the compiler's own check of the
// processor says), four sums at a time, on one thread; it repeats the read
// enough times for a run of 10 ms or more (as the plane's windows are), times runs with clock_gettime,
// and prints the median and the best of eleven in GB/s (10^9 bytes per
// second).  Run it pinned, as the plane's threads are: taskset -c 1
// memsweep_vector_read.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "bench/now.h"

namespace {

// The sum of every run is stored here, so that its loads can't be left out.
volatile uint64_t sink;

__attribute__((target("avx512f"))) uint64_t read512(const char *p, size_t bytes)
{
    __m512i s0 = _mm512_setzero_si512();
    __m512i s1 = s0;
    __m512i s2 = s0;
    __m512i s3 = s0;
    for (size_t i = 0; i < bytes; i += 256) {
        s0 = _mm512_add_epi64(s0, _mm512_load_si512(p + i));
        s1 = _mm512_add_epi64(s1, _mm512_load_si512(p + i + 64));
        s2 = _mm512_add_epi64(s2, _mm512_load_si512(p + i + 128));
        s3 = _mm512_add_epi64(s3, _mm512_load_si512(p + i + 192));
    }
    __m512i s = _mm512_add_epi64(_mm512_add_epi64(s0, s1), _mm512_add_epi64(s2, s3));
    alignas(64) uint64_t lanes[8];
    _mm512_store_si512(lanes, s);
    return lanes[0] + lanes[3] + lanes[7];
}

__attribute__((target("avx2"))) uint64_t read256(const char *p, size_t bytes)
{
    __m256i s0 = _mm256_setzero_si256();
    __m256i s1 = s0;
    __m256i s2 = s0;
    __m256i s3 = s0;
    for (size_t i = 0; i < bytes; i += 128) {
        s0 = _mm256_add_epi64(s0, _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i)));
        s1 = _mm256_add_epi64(s1, _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i + 32)));
        s2 = _mm256_add_epi64(s2, _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i + 64)));
        s3 = _mm256_add_epi64(s3, _mm256_load_si256(reinterpret_cast<const __m256i *>(p + i + 96)));
    }
    __m256i s = _mm256_add_epi64(_mm256_add_epi64(s0, s1), _mm256_add_epi64(s2, s3));
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), s);
    return lanes[0] + lanes[3];
}

uint64_t read128(const char *p, size_t bytes)
{
    __m128i s0 = _mm_setzero_si128();
    __m128i s1 = s0;
    __m128i s2 = s0;
    __m128i s3 = s0;
    for (size_t i = 0; i < bytes; i += 64) {
        s0 = _mm_add_epi64(s0, _mm_load_si128(reinterpret_cast<const __m128i *>(p + i)));
        s1 = _mm_add_epi64(s1, _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 16)));
        s2 = _mm_add_epi64(s2, _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 32)));
        s3 = _mm_add_epi64(s3, _mm_load_si128(reinterpret_cast<const __m128i *>(p + i + 48)));
    }
    __m128i s = _mm_add_epi64(_mm_add_epi64(s0, s1), _mm_add_epi64(s2, s3));
    return (uint64_t)_mm_cvtsi128_si64(s);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; i++) {
        char *end = nullptr;
        unsigned long long bytes = strtoull(argv[i], &end, 10);
        if (*end != '\0' || bytes < 1024 || bytes % 1024 != 0 || bytes > (1ull << 34)) {
            fprintf(stderr, "usage: memsweep_vector_read [BYTES...] (each a multiple of 1024, up to 16 GiB)\n");
            return 2;
        }
        sizes.push_back((size_t)bytes);
    }
    if (sizes.empty())
        sizes = {16384, 134217728};

    uint64_t (*read)(const char *, size_t) = read128;
    const char *width = "sse2";
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        read = read512;
        width = "avx512";
    } else if (__builtin_cpu_supports("avx2")) {
        read = read256;
        width = "avx2";
    }
    printf("vector read, %s loads, 1 thread\n", width);
    printf("%12s %10s %10s\n", "bytes", "median", "best GB/s");
    for (size_t bytes : sizes) {
        char *buffer = static_cast<char *>(aligned_alloc(4096, bytes));
        if (buffer == nullptr) {
            fprintf(stderr, "memsweep_vector_read: can't allocate %zu bytes\n", bytes);
            return 1;
        }
        memset(buffer, 1, bytes);
        // Runs of 10 ms or more, as the plane's windows are: the count of
        // reads doubles until a run lasts that long (which warms the caches
        // too).
        long repeats = 1;
        for (;;) {
            uint64_t sum = 0;
            double t0 = now_s();
            for (long r = 0; r < repeats; r++)
                sum += read(buffer, bytes);
            sink = sum;
            if (now_s() - t0 >= 0.01)
                break;
            repeats *= 2;
        }
        std::vector<double> gbs;
        for (int run = 0; run < 11; run++) {
            uint64_t sum = 0;
            double t1 = now_s();
            for (long r = 0; r < repeats; r++)
                sum += read(buffer, bytes);
            double t = now_s() - t1;
            sink = sum;
            gbs.push_back((double)bytes * (double)repeats / t / 1e9);
        }
        printf("%12zu %10.1f %10.1f\n", bytes, median(gbs), *std::max_element(gbs.begin(), gbs.end()));
        free(buffer);
    }
    return 0;
}
