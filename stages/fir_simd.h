/*
 * Library-internal: vectorised FIR kernels (not exported).
 *
 * fir.cpp lays out the [history | block] work area and hands it to a kernel,
 * which writes the n outputs; history handling stays in fir.cpp. Each vector
 * lane computes one output component with exactly the scalar sequence of
 * float32 operations, so every kernel gives the scalar path's bits (under the
 * NaN rule of simd.h).
 */
#ifndef DDC_STAGES_FIR_SIMD_H
#define DDC_STAGES_FIR_SIMD_H

#include <cstddef>

#include "ddc_types.h"
#include "simd_kernels.h"

struct fir_kernels {
    // taps_r (real) or taps_c (complex, used when taps_r is null) of length L; w is
    // the work area of n + L - 1 samples, out takes n samples and does not overlap w.
    void (*run)(const float *taps_r, const cf32_t *taps_c, size_t L, const cf32_t *w, size_t n, cf32_t *out);
};
DDC_KERNEL_TABLES(fir_kernels)

#endif
