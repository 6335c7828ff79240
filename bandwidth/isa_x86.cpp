// SPDX-License-Identifier: MIT
/*
 * isa_x86.cpp -- x86-64's vector instruction sets: what CPUID and XGETBV
 * say this processor and its operating system run, and each kernel's SSE2,
 * AVX2 and AVX-512F form.
 */
#include "bandwidth/forms.h"

#include <cpuid.h>

namespace bandwidth {

/* No zero: x86-64 has no instruction that zeroes a line without its
 * stores, as 64-bit Arm's DC ZVA does. */
std::vector<Kernel> all_kernels()
{
    return {Kernel::scalar_read, Kernel::vector_read, Kernel::write, Kernel::copy, Kernel::nt_write};
}

const std::vector<Isa> &isas()
{
    static const std::vector<Isa> all = {Isa::sse2, Isa::avx2, Isa::avx512};
    return all;
}

std::string isa_label(Isa isa)
{
    return isa_name(isa);
}

/* cpu_ids reads this processor's CPUID leaves and XCR0. */
static CpuIds cpu_ids()
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
    /* OSXSAVE (leaf 1 ECX bit 27): XGETBV of XCR0, spelled out, as its
     * intrinsic wants -mxsave. */
    if ((ids.leaf1_ecx & (1u << 27)) != 0) {
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

Isa form_isa(Kernel /*kernel*/, Isa isa)
{
    return isa;
}

bw_kernel_fn form_of(Kernel kernel, Isa isa)
{
    /* Each vector kernel's forms, narrowest first. */
    static const bw_kernel_fn forms[][3] = {
        {bw_vector_read_sse2, bw_vector_read_avx2, bw_vector_read_avx512},
        {bw_write_sse2, bw_write_avx2, bw_write_avx512},
        {bw_copy_sse2, bw_copy_avx2, bw_copy_avx512},
        {bw_nt_write_sse2, bw_nt_write_avx2, bw_nt_write_avx512},
    };
    return forms[(int)kernel - (int)Kernel::vector_read][(int)isa - (int)Isa::sse2];
}

Choice zero_choice()
{
    Choice c;
    c.kernel = Kernel::zero;
    c.note = "zero left out: it is 64-bit Arm's DC ZVA, which x86-64 has not";
    return c;
}

}  // namespace bandwidth
