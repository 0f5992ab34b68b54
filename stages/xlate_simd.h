/*
 * Library-internal: the output kernel of the translating decimator (not
 * exported).
 *
 * xlate.cpp hands a kernel a run of consecutive outputs. Output j of the
 * stage is output c = j mod p of period P = j div p: the dot product of row c
 * with the inputs P q + n0_c - k, k = 0 .. T0-1, turned by the oscillator at
 * the period's first input. The inputs are kept as q streams (input n in
 * stream n mod q, at n div q), so that the inputs of one tap in successive
 * periods sit side by side: a kernel puts successive periods in vector lanes
 * and the rows of a group in registers, each lane doing the scalar kernel's float32 operations in the
 * scalar order (xlate.cpp, _run_scalar), so all give the same bits.
 */
#ifndef DDC_STAGES_XLATE_SIMD_H
#define DDC_STAGES_XLATE_SIMD_H

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

// Periods a kernel call may span, and lanes a kernel may compute past the
// last output (reading stream slots that exist, whatever they hold).
constexpr size_t kXlateMaxPeriods = 4096 / 2 + 2;
constexpr size_t kXlateLanes = 64;

// Rows go in groups of up to kXlateGroup whose newest inputs n0_c lie close
// together: a group covers one span of D taps, tap i meeting input d_hi - i
// of the period (d_hi the group's last n0_c), so that each input a group
// reads is loaded once for all its rows. Row r of a group uses taps lo[r] ..
// lo[r] + T0 - 1 of the span (lo[r] = d_hi - n0_c) and no other: the rest of
// the span is neither multiplied nor added for it, so an output never meets
// an input past its own newest one.
constexpr size_t kXlateGroup = 8;

struct xlate_group {
    uint32_t first;   // its first row
    uint32_t rows;    // G
    uint32_t span;    // D
    uint32_t taps;    // float offset of its taps: per tap i, the G real parts then the G imaginary parts
    uint32_t offs;    // offset of its D stream offsets in off[]
    uint32_t lo[kXlateGroup];  // per row, its first tap in the span
};

struct xlate_work {
    const float *x0;      // the streams at the first output's period: x0 + off[g.offs + i] + t is
                          // the input that tap i of group g meets in period P + t, P that period
    const float *taps;    // every group's taps
    const int32_t *off;   // every group's stream offsets
    const xlate_group *groups;
    size_t num_groups;
    size_t num_taps;      // T0, the taps of every row
    size_t period;        // p
    size_t count;         // outputs to write
    size_t cls;           // the first output's row, c0: output i is row (c0 + i) mod p
    uint32_t theta;       // oscillator phase of the first output's period
    uint32_t theta_step;  // per period
    const cf32_t *osc;    // the fine oscillator's table (stages/nco_simd.h)
};

struct xlate_kernels {
    // Writes w->count outputs to out.
    void (*run)(const xlate_work *w, cf32_t *out);
};
DDC_KERNEL_TABLES(xlate_kernels)

#endif
