/* Library-internal DDC processing with an allocation-failure report (not exported). */
#ifndef DDC_DDC_DDC_INTERNAL_H
#define DDC_DDC_DDC_INTERNAL_H

#include "ddc.h"

DDC_EXTERN_C_BEGIN

/*
 * ddc_execute that tells a failed allocation apart from an empty result (a
 * decimating converter may well give 0 samples for a short block). All memory
 * is secured before the oscillator runs, so on failure nothing is consumed and
 * no state changes. Returns 0 on success with the count written to out in
 * *n_out (n_out may be null), and -1 when an allocation failed (*n_out = 0).
 * Needs a live handle; one thread per handle.
 */
int ddc_execute_checked(ddc_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap,
                        size_t *n_out);

DDC_EXTERN_C_END

#endif
