/*
 * Half-band real-to-complex decimator: real float32 in at fs, complex out at fs/2.
 * One polyphase kernel multiplies the input by (-j)^i (an fs/4 down-shift),
 * applies a linear-phase half-band low-pass and keeps every second output.
 * A real tone at f_c leaves as a complex tone at 2*f_c - 0.5 cycles per output.
 *
 * coeffs: floor(num_taps/2) float32 values, the outer half of the symmetric
 * branch, outermost first, at twice their tap weight; copied at creation.
 * One thread per handle.
 */
#ifndef DDC_STAGES_HBDECIM_R2C_H
#define DDC_STAGES_HBDECIM_R2C_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct hbdecim_r2c_state hbdecim_r2c_state_t;

/* Null for num_taps 0, a null table or an exhausted allocation. */
DDC_API hbdecim_r2c_state_t *hbdecim_r2c_create(size_t num_taps, const float *coeffs);
DDC_API void hbdecim_r2c_destroy(hbdecim_r2c_state_t *s);
/* Zero history, pending sample and output parity, in place. */
DDC_API void hbdecim_r2c_reset(hbdecim_r2c_state_t *s);
/* Always 0.5. */
DDC_API double hbdecim_r2c_get_rate(const hbdecim_r2c_state_t *s);
DDC_API size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c_state_t *s);
/*
 * One output per input pair; an odd sample waits for the next call.
 * Returns the number of complex samples written (at most cap). With too small a
 * capacity the unread inputs after the next pending one are dropped:
 * cap >= n_in/2 + 1 always suffices. n_in or cap of 0 changes nothing.
 */
DDC_API size_t hbdecim_r2c_execute(hbdecim_r2c_state_t *s, const float *x, size_t n_in,
                                   cf32_t *y, size_t cap);

DDC_EXTERN_C_END

#endif
