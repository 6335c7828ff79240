// SPDX-License-Identifier: MIT
/*
 * isa_arm64.cpp -- 64-bit Arm's vector instruction sets: what the kernel's
 * hardware capabilities say this processor runs, SVE's vector length, and
 * each kernel's NEON and SVE form.  SVE's vector-length-agnostic read is
 * its own; the other kernels run their NEON form under SVE too.  The zero
 * is DC ZVA's, where DCZID_EL0 allows it.
 */
#include "bandwidth/forms.h"

#include <sys/auxv.h>
#include <sys/prctl.h>

namespace bandwidth {

std::vector<Kernel> all_kernels()
{
    return {Kernel::scalar_read, Kernel::vector_read, Kernel::write, Kernel::copy, Kernel::nt_write, Kernel::zero};
}

const std::vector<Isa> &isas()
{
    static const std::vector<Isa> all = {Isa::neon, Isa::sve};
    return all;
}

std::string isa_label(Isa isa)
{
    if (isa != Isa::sve || best_isa() != Isa::sve)
        return isa_name(isa);
    /* The vector length in bytes, in the low 16 bits of the answer. */
    int vl = prctl(PR_SVE_GET_VL);
    return vl > 0 ? "sve" + std::to_string((vl & 0xffff) * 8) : std::string("sve");
}

Isa best_isa()
{
    static const Isa best = isa_of_hwcap(getauxval(AT_HWCAP));
    return best;
}

Isa form_isa(Kernel kernel, Isa isa)
{
    return kernel == Kernel::vector_read ? isa : Isa::neon;
}

bw_kernel_fn form_of(Kernel kernel, Isa isa)
{
    static const bw_kernel_fn forms[][2] = {
        {bw_vector_read_neon, bw_vector_read_sve},
        {bw_write_neon, bw_write_neon},
        {bw_copy_neon, bw_copy_neon},
        {bw_nt_write_neon, bw_nt_write_neon},
    };
    return forms[(int)kernel - (int)Kernel::vector_read][(int)isa - (int)Isa::neon];
}

Choice zero_choice()
{
    Choice c;
    c.kernel = Kernel::zero;
    uint64_t dczid;
    __asm__ volatile("mrs %0, dczid_el0" : "=r"(dczid));
    uint64_t block = zero_block_of(dczid);
    if (block == 0) {
        c.note = "zero left out: DC ZVA is prohibited here (DCZID_EL0's DZP bit is set)";
        return c;
    }
    c.isa = "dczva" + std::to_string(block);
    c.fn = bw_zero_dc_zva;
    return c;
}

}  // namespace bandwidth
