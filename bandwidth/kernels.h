// SPDX-License-Identifier: MIT
/*
 * kernels.h -- the bandwidth kernels: one pass over a working set each,
 * reading, writing or copying it.  C linkage, so that their names are plain
 * in a program and a test finds their machine code by name.
 *
 * Every kernel takes a buffer aligned to 64 bytes and the working set's
 * size in bytes, a multiple of 1024, and returns a value that depends on
 * what it read (0 for the kernels that only write), so that no load can be
 * left out.  Each one is a file of its own, compiled with the read kernel's
 * fixed flags and its own instruction set, and nothing else:
 *
 *   scalar_read   memsweep's read loop at stride 1: four 8-byte loads into
 *                 four sums a step, then the tail one by one
 *   vector_read   eight vector loads a step into eight sums
 *   write         eight vector stores of a constant a step
 *   copy          eight vector loads from the first half of the working set
 *                 and eight stores of them to the second half a step
 *   nt_write      eight non-temporal vector stores a step, and a store
 *                 fence at the end, so that they are done when it returns
 *   zero          64-bit Arm only: DC ZVA, a block of zeros at a time, at
 *                 the block size the processor states
 *
 * On x86-64 the vector kernels come in SSE2 (16-byte), AVX2 (32-byte) and
 * AVX-512F (64-byte) forms; on 64-bit Arm in NEON (16-byte) forms, whose
 * nt_write stores pairs with STNP, a hint the hardware may ignore, and an
 * SVE vector_read of whatever vector length the processor has.  Only the
 * forms the processor and its operating system can run may be called
 * (bandwidth.h chooses); each architecture builds only its own.
 */
#ifndef MEMSWEEP_BANDWIDTH_KERNELS_H
#define MEMSWEEP_BANDWIDTH_KERNELS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t (*bw_kernel_fn)(void *buffer, size_t bytes);

uint64_t bw_scalar_read(void *buffer, size_t bytes);

uint64_t bw_vector_read_sse2(void *buffer, size_t bytes);
uint64_t bw_vector_read_avx2(void *buffer, size_t bytes);
uint64_t bw_vector_read_avx512(void *buffer, size_t bytes);

uint64_t bw_write_sse2(void *buffer, size_t bytes);
uint64_t bw_write_avx2(void *buffer, size_t bytes);
uint64_t bw_write_avx512(void *buffer, size_t bytes);

uint64_t bw_copy_sse2(void *buffer, size_t bytes);
uint64_t bw_copy_avx2(void *buffer, size_t bytes);
uint64_t bw_copy_avx512(void *buffer, size_t bytes);

uint64_t bw_nt_write_sse2(void *buffer, size_t bytes);
uint64_t bw_nt_write_avx2(void *buffer, size_t bytes);
uint64_t bw_nt_write_avx512(void *buffer, size_t bytes);

uint64_t bw_vector_read_neon(void *buffer, size_t bytes);
uint64_t bw_vector_read_sve(void *buffer, size_t bytes);
uint64_t bw_write_neon(void *buffer, size_t bytes);
uint64_t bw_copy_neon(void *buffer, size_t bytes);
uint64_t bw_nt_write_neon(void *buffer, size_t bytes);
uint64_t bw_zero_dc_zva(void *buffer, size_t bytes);

#ifdef __cplusplus
}
#endif

#endif /* MEMSWEEP_BANDWIDTH_KERNELS_H */
