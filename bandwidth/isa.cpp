// SPDX-License-Identifier: MIT
/*
 * isa.cpp -- the kernels' names, the instruction set the processor and its
 * operating system can run, and each kernel's form for it.
 */
#include "bandwidth/bandwidth.h"

#include "bandwidth/forms.h"

#include <algorithm>
#include <iterator>

namespace bandwidth {

/* ====================== Names ====================== */

const char *kernel_name(Kernel kernel)
{
    switch (kernel) {
    case Kernel::scalar_read: return "scalar-read";
    case Kernel::vector_read: return "vector-read";
    case Kernel::write: return "write";
    case Kernel::copy: return "copy";
    case Kernel::nt_write: return "nt-write";
    case Kernel::zero: return "zero";
    }
    return "?";
}

const char *isa_name(Isa isa)
{
    switch (isa) {
    case Isa::sse2: return "sse2";
    case Isa::avx2: return "avx2";
    case Isa::avx512: return "avx512";
    case Isa::neon: return "neon";
    case Isa::sve: return "sve";
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

/* HWCAP_SVE, bit 22 of 64-bit Arm's AT_HWCAP. */
static const uint64_t hwcap_sve = uint64_t(1) << 22;

Isa isa_of_hwcap(uint64_t hwcap)
{
    return (hwcap & hwcap_sve) != 0 ? Isa::sve : Isa::neon;
}

/* DCZID_EL0's fields. */
static const uint64_t dczid_prohibited = 1u << 4, dczid_block_size = 0xf;

uint64_t zero_block_of(uint64_t dczid)
{
    return (dczid & dczid_prohibited) != 0 ? 0 : uint64_t(4) << (dczid & dczid_block_size);
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

/* rank is an instruction set's place among this architecture's; -1 for
 * another architecture's. */
static int rank(Isa isa)
{
    const std::vector<Isa> &all = isas();
    auto at = std::find(all.begin(), all.end(), isa);
    return at == all.end() ? -1 : (int)(at - all.begin());
}

Choice choose(Kernel kernel, Isa want, Isa have)
{
    Choice c;
    c.kernel = kernel;
    if (kernel == Kernel::scalar_read) {
        c.fn = bw_scalar_read;
        return c;
    }
    if (kernel == Kernel::zero)
        return zero_choice();
    if (rank(want) < 0) {
        c.note = std::string(kernel_name(kernel)) + " left out: " + isa_name(want) +
                 " asked, which is not an instruction set of this processor's architecture";
        return c;
    }
    c.isa = isa_label(want);
    if (rank(want) > rank(have)) {
        c.note = std::string(kernel_name(kernel)) + " left out: " + isa_name(want) +
                 " asked, but this processor and its operating system run " + isa_name(have) + " at most";
        return c;
    }
    c.isa = isa_label(form_isa(kernel, want));
    c.fn = form_of(kernel, want);
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
