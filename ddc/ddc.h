/*
 * Complex-input digital down-converter (DDC):
 *   x (complex, fs_in) -> NCO mixer (norm_freq, cycles per input sample)
 *     -> rate converter for rate -> y (complex, fs_out = rate*fs_in),  rate > 0.
 * One thread per handle.
 */
#ifndef DDC_DDC_DDC_H
#define DDC_DDC_DDC_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct ddc_state ddc_state_t;

/* Null for a rate that is not positive and finite, or an exhausted allocation. */
DDC_API ddc_state_t *ddc_create(double norm_freq, double rate);
DDC_API size_t ddc_execute(ddc_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap);
DDC_API void ddc_reset(ddc_state_t *s);
DDC_API void ddc_destroy(ddc_state_t *s);
DDC_API double ddc_get_norm_freq(const ddc_state_t *s);
DDC_API void ddc_set_norm_freq(ddc_state_t *s, double norm_freq);
DDC_API double ddc_get_rate(const ddc_state_t *s);
/* Always 0 (no fixed bound). */
DDC_API size_t ddc_execute_max_out(void);

DDC_EXTERN_C_END

#endif
