/* Library-internal complex half-band decimator operations (not exported). */
#ifndef DDC_STAGES_HBDECIM_INTERNAL_H
#define DDC_STAGES_HBDECIM_INTERNAL_H

#include "hbdecim.h"
#include "nco.h"

/*
 * nco_mix(nco, x, n_in, tmp) followed by hbdecim_execute(s, tmp, n_in, y, cap),
 * without tmp: the same bytes, the same state left in both (the oscillator
 * moves on by n_in). In one pass where hbdecim_nco_fused() (the vector kernel
 * of the current level mixes while it de-interleaves); otherwise sample by
 * sample, so a caller that has room should mix first instead.
 */
size_t hbdecim_execute_nco(hbdecim_state_t *s, const cf32_t *x, size_t n_in, cf32_t *y, size_t cap,
                           nco_state_t *nco) noexcept;
bool hbdecim_nco_fused() noexcept;

#endif
