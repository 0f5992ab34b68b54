/*
 * Library-internal: vectorised CIC decimation kernels (not exported).
 * Each produces exactly the integers of the scalar kernel: the same quantised
 * inputs, the same integrator and comb values modulo 2^64, the same outputs.
 */
#ifndef DDC_STAGES_CIC_SIMD_H
#define DDC_STAGES_CIC_SIMD_H

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

struct cic_kernel_view {
    uint64_t *integ_i;  // I1..I4, in-phase, read and written back
    uint64_t *integ_q;  // I1..I4, quadrature
    uint64_t *comb_i;   // D1..D4, in-phase
    uint64_t *comb_q;   // D1..D4, quadrature
    uint32_t ratio;     // R
    uint32_t shift;     // 4 log2(R)
    uint32_t counter;   // in/out: inputs since the last output
};

struct cic_kernels {
    size_t (*decimate)(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out);
};
DDC_KERNEL_TABLES(cic_kernels)

#endif
