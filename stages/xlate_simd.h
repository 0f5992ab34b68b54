/*
 * Library-internal: the output kernel of the translating decimator (not
 * exported).
 *
 * xlate.cpp hands a kernel a run of consecutive outputs. Output j of the
 * stage is output c = j mod p of period P = j div p: the dot product of row c
 * with the inputs P q + n0_c - k, k = 0 .. T0-1, turned by the oscillator at
 * the period's first input. The inputs are kept as q streams (input n in
 * stream n mod q, at n div q), so that the inputs of one tap in successive
 * periods sit side by side: a kernel puts successive periods of one row in
 * vector lanes, each lane doing the scalar kernel's float32 operations in the
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

struct xlate_work {
    const float *x0;      // the streams at the first output's period: x0 + off[c T0 + k] + t is
                          // input (P + t) q + n0_c - k, P that period
    const float *gr;      // p rows of T0 taps, real parts
    const float *gi;      // imaginary parts
    const int32_t *off;   // p rows of T0 stream offsets
    size_t num_taps;      // T0
    size_t period;        // p
    size_t count;         // outputs to write
    size_t cls;           // the first output's place in its period, c
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
