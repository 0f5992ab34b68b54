/*
 * Library-internal: vectorised resampler kernels (not exported).
 *
 * resamp.cpp hands each kernel a view of the resampler's state, the kernel runs
 * the block and leaves the updated phase and ring position in the view, and
 * resamp.cpp writes them back. Every kernel computes exactly the scalar
 * sequence of float32 operations for each accumulator, partial sum and lane
 * sum, so its output is bit-identical to the scalar path.
 */
#ifndef DDC_STAGES_RESAMP_SIMD_H
#define DDC_STAGES_RESAMP_SIMD_H

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

// Decimating kernels keep up to this many taps' accumulators in registers.
constexpr size_t kResampSimdMaxTaps = 32;

struct resamp_decim_view {
    const float *wtab;  // row r at r*stride: 2T floats, (bank(r, T-1-m) * g) twice for each m, zero padded
    size_t stride;      // floats per table row, a multiple of 16; rows 64-byte aligned
    size_t num_taps;    // T, 1 .. kResampSimdMaxTaps
    unsigned shift;     // 32 - phase_bits: phase >> shift is the row
    uint32_t step;      // phase increment per input
    uint32_t phase;     // in: phase at entry; out: phase at exit
    cf32_t *acc;        // T accumulators, read at entry and written back
    cf32_t *partial;    // T-1 partial sums (untouched when T = 1)
};

struct resamp_interp_view {
    const float *bank;  // P*T taps, row-major
    size_t num_taps;    // T
    unsigned shift;     // 32 - phase_bits
    uint32_t step;      // phase increment per output
    uint32_t phase;     // in/out
    cf32_t *history;    // 2R samples, each stored at p and p + R
    size_t history_size;  // R
    size_t history_mask;  // R - 1
    size_t history_pos;   // in/out: lower copy of the newest input
};

struct resamp_kernels {
    size_t (*decimate)(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap);
    size_t (*interpolate)(resamp_interp_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap);
};
DDC_KERNEL_TABLES(resamp_kernels)

#endif
