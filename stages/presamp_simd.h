/*
 * Library-internal: the output kernels of the designed resampler (not exported).
 *
 * presamp.cpp walks the time accumulator and hands a kernel a batch of jobs,
 * one per output: where its window starts in the history rings, which row of
 * the table it uses and the fraction mu between that row and the next. The
 * kernel writes one output per job; a push routine stores a chunk of inputs
 * into the rings beforehand. Every kernel computes exactly the scalar
 * sequence of float32 operations (presamp.cpp, _dot_scalar), so all give the
 * same bits.
 */
#ifndef DDC_STAGES_PRESAMP_SIMD_H
#define DDC_STAGES_PRESAMP_SIMD_H

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

struct presamp_job {
    uint32_t x;    // window start in the rings: the newest input, then older ones
    uint32_t row;  // float offset of the row in the table
    float mu;      // fraction towards the next row, in [0, 1)
    uint32_t unused;
};

// The table holds per row 2T floats, per group of 16 taps the 16 taps h then
// their 16 differences d to the next row; rows 64-byte aligned, T a multiple
// of 16. re and im are the two history rings, each window T floats long.
struct presamp_batch {
    const float *tab;
    size_t num_taps;  // T
    const float *re;
    const float *im;
    size_t period;  // every mu is 0 and job j + period uses job j's row; 0: not so
};

struct presamp_kernels {
    // One output per job.
    void (*dot)(const presamp_batch *b, const presamp_job *jobs, size_t n, cf32_t *out);
    // Stores src[0 .. len) reversed into both copies of the rings: re[k] and
    // re[k + L] take src[len - 1 - k].re, im likewise.
    void (*push)(float *re, float *im, size_t L, const cf32_t *src, size_t len);
};
DDC_KERNEL_TABLES(presamp_kernels)

#endif
