/*
 * Library-internal: the vectorised block kernels of the two half-band
 * decimators (not exported).
 *
 * The stage code turns a run of input pairs into linear windows: `hist`
 * history slots of each polyphase stream, oldest first (the newest
 * num_taps - 1 hold samples, any in front of them are zero), followed by the
 * run's own samples. The stage places the run on a 64-byte boundary, which
 * the AVX-512 shifted-window paths and the AVX2 window copy need (they
 * check, and fall back otherwise). A
 * kernel de-interleaves the run into the windows and computes `count`
 * consecutive outputs, each lane doing exactly the scalar operation sequence
 * of its own output. The stage code keeps the rings, parity and pending
 * sample; a kernel touches only the windows and y.
 */
#ifndef DDC_STAGES_HBDECIM_KERNELS_H
#define DDC_STAGES_HBDECIM_KERNELS_H

#include "ddc_types.h"
#include "simd_kernels.h"

#include <cstddef>
#include <cstdint>

namespace ddc_hb {

// Samples the kernels may read past the end of a window (zeroed by them).
constexpr size_t kWindowPad = 16;

// One run of the real-to-complex stage.
struct r2c_run {
    const float *x;       // 2*count inputs: first, second sample of each pair
    size_t count;         // pairs in the run = outputs to write
    float *wa;            // window of first samples: hist + count + kWindowPad entries
    float *wb;            // window of second samples, same size
    float *wc;            // room for a copy of wb, 32 bytes off the cache lines (kernels with kLineCopy)
    size_t hist;          // history slots in front of the run, >= num_taps - 1
    const float *coeffs;  // half signed branch coefficients
    size_t half;          // num_taps >> 1
    uint32_t even;        // 1 when num_taps is even
    float scale;          // centre_sign * 0.5
    uint32_t parity;      // output parity before the run; odd outputs are negated
    cf32_t *y;            // count outputs
    const float *ahead;   // inputs of the run after next (maybe past the block), to prefetch while this one is filtered
    // The front end's oscillator on the outputs, or null: output t times the
    // entry (cos, sin) of index (osc_phase + t * osc_inc) >> 16 of this 65536-entry
    // table, as the oscillator mixer computes it (lo_mix.h).
    const cf32_t *osc;
    uint32_t osc_phase, osc_inc;
};

// One run of the complex stage; windows hold complex samples.
struct c2c_run {
    const cf32_t *x;      // 2*count inputs
    size_t count;         // pairs in the run = outputs to write
    cf32_t *wa;           // window of first samples: hist + count + kWindowPad entries
    cf32_t *wb;           // window of second samples, same size
    cf32_t *wc;           // room for a copy of wb, 32 bytes off the cache lines (kernels with kLineCopy)
    size_t hist;          // history slots in front of the run, >= num_taps - 1
    const float *coeffs;  // half branch coefficients
    size_t half;          // num_taps >> 1
    uint32_t even;        // 1 when num_taps is even
    cf32_t *y;            // count outputs
    const cf32_t *ahead;  // inputs of the run after next (maybe past the block), to prefetch
    // The fine oscillator on the inputs, or null (only for kernels with
    // c2c_nco): input i enters the windows times the oscillator sample of
    // phase nco_phase + i * nco_inc from this table, as nco_mix computes it.
    const cf32_t *nco;
    uint32_t nco_phase, nco_inc;
};

} // namespace ddc_hb

// The kernels of one instruction set, defined in its source by hbdecim_body.inc.
struct hb_kernels {
    void (*r2c)(const ddc_hb::r2c_run &r) noexcept;
    void (*c2c)(const ddc_hb::c2c_run &r) noexcept;
    bool c2c_nco; // c2c mixes its inputs with the run's fine oscillator
};
DDC_KERNEL_TABLES(hb_kernels)

#endif
