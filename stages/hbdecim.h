/*
 * Half-band decimator: complex in at fs, complex out at fs/2, through the same
 * polyphase half-band structure as hbdecim_r2c but without the frequency shift.
 *
 * coeffs: floor(num_taps/2) float32 values, outer half of the symmetric branch,
 * outermost first, at twice their tap weight; copied at creation.
 * One thread per handle.
 */
#ifndef DDC_STAGES_HBDECIM_H
#define DDC_STAGES_HBDECIM_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct hbdecim_state hbdecim_state_t;

/* Null for num_taps 0, a null table or an exhausted allocation. */
DDC_API hbdecim_state_t *hbdecim_create(size_t num_taps, const float *coeffs);
DDC_API void hbdecim_destroy(hbdecim_state_t *s);
DDC_API void hbdecim_reset(hbdecim_state_t *s);
/* Always 0.5. */
DDC_API double hbdecim_get_rate(const hbdecim_state_t *s);
DDC_API size_t hbdecim_get_num_taps(const hbdecim_state_t *s);
/* As hbdecim_r2c_execute, for complex input. cap >= n_in/2 + 1 always suffices. */
DDC_API size_t hbdecim_execute(hbdecim_state_t *s, const cf32_t *x, size_t n_in,
                               cf32_t *y, size_t cap);

DDC_EXTERN_C_END

#endif
