/*
 * Kaiser-windowed half-band design for a stop-band attenuation and a transition
 * half-width: pass band [0, 0.25 - delta], stop band [0.25 + delta, 0.5] in
 * cycles per input sample. The result plugs straight into hbdecim_create and
 * hbdecim_r2c_create: num_taps = 2h + 1 and h branch values, outermost first,
 * at twice their tap weight. The filter spans 4h - 1 taps, has its centre tap
 * 0.5 and unit gain at DC, and ripples about equally in both bands.
 * Pure double-precision arithmetic; thread-safe.
 */
#ifndef DDC_DESIGN_HALFBAND_H
#define DDC_DESIGN_HALFBAND_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

/* Thread-safe; designs are cached per process. Branch values h needed for atten_db (> 0) and delta in (0, 0.25); 0 for
   anything else (NaN included). */
DDC_API size_t halfband_num_coeffs(double atten_db, double delta);

/* Writes the h = halfband_num_coeffs(atten_db, delta) branch values into
   coeffs when h <= max_coeffs and returns num_taps = 2h + 1; returns 0 and
   writes nothing when the arguments are refused or coeffs is too short. */
DDC_API size_t halfband_design(double atten_db, double delta, float *coeffs, size_t max_coeffs);

DDC_EXTERN_C_END

#endif
