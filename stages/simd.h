/*
 * Kernel variant selection. Every stage keeps a plain scalar kernel as the
 * reference and may add vectorised variants compiled for their own target only;
 * the variant is chosen at run time from the CPU's features, so one build runs
 * everywhere. Each vector lane performs exactly the scalar sequence of
 * operations for its own output, so every variant gives the scalar kernel's
 * bits, under one NaN rule:
 *
 *   NaN policy. Every output that is not NaN has the scalar kernel's bits, and
 *   every output the scalar kernel makes NaN is NaN in every variant. The bits
 *   of a NaN output are the scalar kernel's too wherever only one NaN bit
 *   pattern (sign included) meets in an operation. When two different NaNs meet,
 *   the instruction passes on one of them by its operand order, which the
 *   compiler chooses for the scalar code as well, so their bits are not fixed.
 *
 * The kernels are therefore plain intrinsics, with no operand order pinned.
 */
#ifndef DDC_STAGES_SIMD_H
#define DDC_STAGES_SIMD_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

/* Kernel variant levels. AVX2 (with FMA) and AVX-512 (F, VL, BW, DQ) on x86-64,
   NEON (Advanced SIMD) on AArch64, where it is always present. */
enum { DDC_SIMD_SCALAR = 0, DDC_SIMD_AVX2 = 1, DDC_SIMD_AVX512 = 2, DDC_SIMD_NEON = 3 };

/* The best level this CPU supports. */
DDC_API int ddc_simd_supported(void);
/* The level in force (the supported one unless forced to another). */
DDC_API int ddc_simd_level(void);
/* Forces a level for every later call in the process (for tests and benchmarks):
   scalar, or any vector level the CPU has. Returns the level now in force, or -1
   (nothing changed) for a level the CPU lacks or an unknown one. Not meant to be
   called while other threads process. */
DDC_API int ddc_simd_force(int level);

DDC_EXTERN_C_END

#endif
