/* Library-internal DDCR processing with an allocation-failure report (not exported). */
#ifndef DDC_DDC_DDCR_INTERNAL_H
#define DDC_DDC_DDCR_INTERNAL_H

#include "ddcr.h"
#include "../stages/hbdecim_r2c.h"

DDC_EXTERN_C_BEGIN

/*
 * ddcr_execute that tells a failed allocation apart from an empty result.
 * Every buffer the block needs is secured before any stage runs, so on
 * failure nothing is consumed and no state changes: the same block may be
 * offered again. Returns 0 on success with the count written to out in
 * *n_out (n_out may be null), and -1 when an allocation failed (*n_out = 0).
 * n_in = 0 succeeds with 0 samples. Needs a live handle; one thread per handle.
 */
int ddcr_execute_checked(ddcr_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap,
                         size_t *n_out);

/* The designed plan's first stage: a half-band R2C decimator for atten_db
   (plus the designed half-bands' margin) and transition half-width delta,
   equiripple where that is shorter (halfband_design_eq), from the
   per-process design cache; null when it cannot be built. */
hbdecim_r2c_state_t *ddcr_design_r2c(double atten_db, double delta);

DDC_EXTERN_C_END

#endif
