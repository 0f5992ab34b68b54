/*
 * Library-internal: the oscillator fused with the front ends' mixer (not
 * exported; native callers use lo_mix from lo.h).
 *
 * lo_mix_block gives exactly what lo_steps into a block B followed by
 * B[k] = x[k] * B[k] gives, per part re = fma(o.re, x.re, -(o.im * x.im)),
 * im = fma(o.im, x.re, o.re * x.im) with the second product rounded first,
 * and advances the phase by n increments. out may equal x (exactly, not
 * partially overlapping). One thread per oscillator.
 */
#ifndef DDC_STAGES_LO_MIX_H
#define DDC_STAGES_LO_MIX_H

#include "lo.h"
#include "simd_kernels.h"

void lo_mix_block(lo_state_t *s, const cf32_t *x, size_t n, cf32_t *out) noexcept;

// For a stage that mixes inside its own kernel: the pair table (below) and the
// phase and increment, and the phase moved on by n samples.
struct lo_osc {
    const cf32_t *pairs;
    uint32_t phase, inc;
};
lo_osc lo_osc_of(const lo_state_t *s) noexcept;
void lo_skip(lo_state_t *s, size_t n) noexcept;

// Vector kernel: n samples from `phase` stepping by `inc`. pairs[i] holds the
// oscillator sample of table index i, (cosine, sine), so one 64-bit load
// gives both parts.
struct lo_kernels {
    void (*mix)(const cf32_t *pairs, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n,
                cf32_t *out) noexcept;
};
DDC_KERNEL_TABLES(lo_kernels)

#endif
