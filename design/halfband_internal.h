/* Library-internal half-band design (not exported). */
#ifndef DDC_DESIGN_HALFBAND_INTERNAL_H
#define DDC_DESIGN_HALFBAND_INTERNAL_H

#include "halfband.h"

DDC_EXTERN_C_BEGIN

/* halfband_num_coeffs and halfband_design, but taking an equiripple (Remez)
   branch where it is shorter than the window design: held 20 dB below the
   attenuation asked for (it ripples at its peak across both bands, where a
   window design falls away from the transition), and to 0.0026 dB of pass
   ripple at most. Wide transitions gain most: at 83 dB and half-width 0.19,
   4 branch values instead of 7. Cached per process like the window designs. */
size_t halfband_num_coeffs_eq(double atten_db, double delta);
size_t halfband_design_eq(double atten_db, double delta, float *coeffs, size_t max_coeffs);

/* I0 (the modified Bessel function of order 0) by its power series, to full
   double precision; for the window designs. */
double design_i0(double x);

DDC_EXTERN_C_END

#endif
