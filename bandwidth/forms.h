// SPDX-License-Identifier: MIT
/*
 * forms.h -- what each architecture's file (isa_x86.cpp, isa_arm64.cpp)
 * gives the kernels' choice: the form of a kernel for an instruction set.
 * Private to bandwidth/.
 */
#ifndef MEMSWEEP_BANDWIDTH_FORMS_H
#define MEMSWEEP_BANDWIDTH_FORMS_H

#include "bandwidth/bandwidth.h"

namespace bandwidth {

/* form_of is a vector kernel's form for one of this architecture's
 * instruction sets (isas()). */
bw_kernel_fn form_of(Kernel kernel, Isa isa);

/* form_isa is the instruction set that form really uses: isa itself, but
 * for a kernel that has no form of its own there and runs a narrower one
 * (64-bit Arm's write, copy and nt-write run NEON under SVE). */
Isa form_isa(Kernel kernel, Isa isa);

/* zero_choice is the zero kernel's choice on this architecture (choose). */
Choice zero_choice();

}  // namespace bandwidth

#endif /* MEMSWEEP_BANDWIDTH_FORMS_H */
