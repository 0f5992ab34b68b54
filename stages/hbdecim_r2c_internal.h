/* Library-internal R2C decimator operations (not exported). */
#ifndef DDC_STAGES_HBDECIM_R2C_INTERNAL_H
#define DDC_STAGES_HBDECIM_R2C_INTERNAL_H

#include "hbdecim_r2c.h"

DDC_EXTERN_C_BEGIN

/*
 * Hands src's stream position to dst, a decimator with other taps: the newest
 * inputs of both histories (as many as dst holds; older slots zero), the
 * pending sample and the output parity. dst then continues the stream where
 * src stopped, so a filter can be swapped between blocks without losing or
 * repeating a sample. src is left as it was.
 */
void hbdecim_r2c_carry_over(hbdecim_r2c_state_t *dst, const hbdecim_r2c_state_t *src);

DDC_EXTERN_C_END

#include "lo.h"

/*
 * hbdecim_r2c_execute followed by lo_mix(lo, y, count, y), in one pass where
 * the vector kernels run (they mix each register of outputs before storing
 * it): the same bytes, the same state left in both.
 */
size_t hbdecim_r2c_execute_lo(hbdecim_r2c_state_t *s, const float *x, size_t n_in, cf32_t *y, size_t cap,
                              lo_state_t *lo) noexcept;

#endif
