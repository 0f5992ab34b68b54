/*
 * Library-internal: vectorised FIR kernels (not exported).
 *
 * fir.cpp lays out the [history | block] work area and hands it to a kernel,
 * which writes the n outputs; history handling stays in fir.cpp. Each vector
 * lane computes one output component with exactly the scalar sequence of
 * float32 operations, so every kernel is bit-identical to the scalar path.
 */
#ifndef DDC_STAGES_FIR_SIMD_H
#define DDC_STAGES_FIR_SIMD_H

#include <cstddef>

#include "ddc_types.h"

#if defined(__x86_64__)
// taps_r (real) or taps_c (complex, used when taps_r is null) of length L; w is
// the work area of n + L - 1 samples, out takes n samples and does not overlap w.
void _fir_run_avx2(const float *taps_r, const cf32_t *taps_c, size_t L, const cf32_t *w, size_t n, cf32_t *out);
void _fir_run_avx512(const float *taps_r, const cf32_t *taps_c, size_t L, const cf32_t *w, size_t n, cf32_t *out);
#endif

#endif
