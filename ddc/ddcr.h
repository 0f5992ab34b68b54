/*
 * Real-input digital down-converter (DDCR):
 *   x (real, fs_in) -> half-band R2C decimator 2:1 with an embedded fs/4 shift
 *     -> NCO mixer at fs_in/2 (norm_freq) -> rate converter for 2*rate
 *     -> y (complex, fs_out = rate*fs_in),  0 < rate < 0.5.
 * A real carrier at f_c (normalised to fs_in) lands at 0 Hz with
 * norm_freq = -(2*f_c + 0.5). Blocks of any sizes give bit-identical output.
 * One thread per handle.
 */
#ifndef DDC_DDC_DDCR_H
#define DDC_DDC_DDCR_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct ddcr_state ddcr_state_t;

/* Null for a rate outside (0, 0.5) (NaN included) or an exhausted allocation. */
DDC_API ddcr_state_t *ddcr_create(double norm_freq, double rate);
/* Returns the complex samples written to out (at most cap). */
DDC_API size_t ddcr_execute(ddcr_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap);
DDC_API void ddcr_reset(ddcr_state_t *s);
DDC_API void ddcr_destroy(ddcr_state_t *s);
DDC_API double ddcr_get_norm_freq(const ddcr_state_t *s);
DDC_API void ddcr_set_norm_freq(ddcr_state_t *s, double norm_freq);
DDC_API double ddcr_get_rate(const ddcr_state_t *s);
/* Always 0 (no fixed bound). */
DDC_API size_t ddcr_execute_max_out(void);

DDC_EXTERN_C_END

#endif
