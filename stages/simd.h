/*
 * Kernel variant selection. Every stage keeps a plain scalar kernel as the
 * reference and may add vectorised variants compiled for their own target only;
 * the variant is chosen at run time from the CPU's features, so one build runs
 * everywhere. Each vector lane performs exactly the scalar sequence of
 * operations for its own output, so every variant is bit-identical to scalar.
 */
#ifndef DDC_STAGES_SIMD_H
#define DDC_STAGES_SIMD_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

/* Kernel variant levels. */
enum { DDC_SIMD_SCALAR = 0, DDC_SIMD_AVX2 = 1, DDC_SIMD_AVX512 = 2 };

/* The best level this CPU supports. */
DDC_API int ddc_simd_supported(void);
/* The level in force (the supported one unless forced lower). */
DDC_API int ddc_simd_level(void);
/* Forces a level for every later call in the process (for tests and benchmarks).
   Returns the level now in force, or -1 (nothing changed) for a level the CPU
   lacks or an unknown one. Not meant to be called while other threads process. */
DDC_API int ddc_simd_force(int level);

DDC_EXTERN_C_END

#endif
