// SPDX-License-Identifier: MIT
/*
 * isa.cpp -- the kernels' names, the instruction set the processor and its
 * operating system can run, and each kernel's form for it.
 */
#include "bandwidth/bandwidth.h"

#include <cpuid.h>

#include <algorithm>
#include <iterator>

namespace bandwidth {

/* ====================== Names ====================== */

std::vector<Kernel> all_kernels()
{
    return {Kernel::scalar_read, Kernel::vector_read, Kernel::write, Kernel::copy, Kernel::nt_write};
}

const char *kernel_name(Kernel kernel)
{
    switch (kernel) {
    case Kernel::scalar_read: return "scalar-read";
    case Kernel::vector_read: return "vector-read";
    case Kernel::write: return "write";
    case Kernel::copy: return "copy";
    case Kernel::nt_write: return "nt-write";
    }
    return "?";
}

const char *isa_name(Isa isa)
{
    switch (isa) {
    case Isa::sse2: return "sse2";
    case Isa::avx2: return "avx2";
    case Isa::avx512: return "avx512";
    }
    return "?";
}

/* ====================== The processor ====================== */

/* CPUID bits: leaf 1 ECX's OSXSAVE and AVX, leaf 7 EBX's AVX2 and
 * AVX-512F; XCR0's saved states: SSE (bit 1), AVX's upper halves (2), and
 * AVX-512's opmask, upper halves of zmm0-15, and zmm16-31 (5, 6, 7). */
static const uint32_t osxsave_bit = 1u << 27, avx_bit = 1u << 28;
static const uint32_t avx2_bit = 1u << 5, avx512f_bit = 1u << 16;
static const uint64_t ymm_state = 0x6, zmm_state = 0xe0;

Isa isa_of(const CpuIds &ids)
{
    bool os_saves = (ids.leaf1_ecx & osxsave_bit) != 0;
    bool ymm = os_saves && (ids.leaf1_ecx & avx_bit) != 0 && (ids.xcr0 & ymm_state) == ymm_state;
    if (ymm && (ids.leaf7_ebx & avx512f_bit) != 0 && (ids.xcr0 & zmm_state) == zmm_state)
        return Isa::avx512;
    if (ymm && (ids.leaf7_ebx & avx2_bit) != 0)
        return Isa::avx2;
    return Isa::sse2;
}

CpuIds cpu_ids()
{
    CpuIds ids;
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) != 0)
        ids.leaf1_ecx = c;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) != 0)
        ids.leaf7_ebx = b;
    if ((ids.leaf1_ecx & osxsave_bit) != 0) {
        /* XGETBV of XCR0, spelled out: its intrinsic wants -mxsave. */
        uint32_t lo = 0;
        uint32_t hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        ids.xcr0 = (uint64_t)hi << 32 | lo;
    }
    return ids;
}

Isa best_isa()
{
    static const Isa best = isa_of(cpu_ids());
    return best;
}

/* The instruction set asked for instead of the best; none unless forced. */
static bool forced = false;
static Isa forced_isa = Isa::sse2;

void force_isa(Isa isa)
{
    forced = true;
    forced_isa = isa;
}

void unforce_isa()
{
    forced = false;
}

Isa want_isa()
{
    return forced ? forced_isa : best_isa();
}

/* ====================== The kernels' forms ====================== */

/* Each vector kernel's forms, by instruction set, narrowest first. */
static const bw_kernel_fn forms[][3] = {
    {bw_vector_read_sse2, bw_vector_read_avx2, bw_vector_read_avx512},
    {bw_write_sse2, bw_write_avx2, bw_write_avx512},
    {bw_copy_sse2, bw_copy_avx2, bw_copy_avx512},
    {bw_nt_write_sse2, bw_nt_write_avx2, bw_nt_write_avx512},
};

Choice choose(Kernel kernel, Isa want, Isa have)
{
    Choice c;
    c.kernel = kernel;
    if (kernel == Kernel::scalar_read) {
        c.fn = bw_scalar_read;
        return c;
    }
    c.isa = isa_name(want);
    if ((int)want > (int)have) {
        c.note = std::string(kernel_name(kernel)) + " left out: " + isa_name(want) +
                 " asked, but this processor and its operating system run " + isa_name(have) + " at most";
        return c;
    }
    c.fn = forms[(int)kernel - (int)Kernel::vector_read][(int)want];
    return c;
}

std::vector<Choice> choose_all()
{
    std::vector<Kernel> kernels = all_kernels();
    std::vector<Choice> choices;
    std::transform(kernels.begin(), kernels.end(), std::back_inserter(choices),
                   [](Kernel k) { return choose(k, want_isa(), best_isa()); });
    return choices;
}

}  // namespace bandwidth
