/*
 * Complex-input digital down-converter (DDC):
 *   x (complex, fs_in) -> NCO mixer (norm_freq, cycles per input sample)
 *     -> rate converter for rate -> y (complex, fs_out = rate*fs_in),  rate > 0.
 * One thread per handle.
 */
#ifndef DDC_DDC_DDC_H
#define DDC_DDC_DDC_H

#include "../rate/rate_converter.h"

DDC_EXTERN_C_BEGIN

typedef struct ddc_state ddc_state_t;

/* Designed plan: the fine oscillator and RateConverter_create_designed's
   cascade for atten_db in [DDC_ATTEN_MIN, DDC_ATTEN_MAX]: below rate 1 the
   pass band is 0 .. 0.4*fs_out within +-0.05 dB and every tone more than
   0.6*fs_out from the carrier comes out at least atten_db down; above rate 1
   the same holds with fs_in in place of fs_out (images rejected). A
   pass-band tone's spurious-free dynamic range is at least atten_db.
   Null for a rate outside (2^-32, 2^31), an attenuation outside the range
   (NaN included) or an exhausted allocation. */
DDC_API ddc_state_t *ddc_create_designed(double norm_freq, double rate, double atten_db);

/* New DDC tuned to norm_freq (cycles per input sample, any double) for
   fs_out = rate*fs_in. Null for a rate that is not finite, at or below 2^-32,
   at or above 2^32, or with no buildable plan, or an exhausted allocation. */
DDC_API ddc_state_t *ddc_create(double norm_freq, double rate);
/* Mixes n_in complex samples with the oscillator and converts them; writes at
   most cap samples to out and returns that count. 0 for n_in = 0 or an
   allocation failure (then nothing is consumed). A capacity of
   ddc_execute_capacity(s, n_in) always suffices; with less, the last stage
   drops the inputs it has no room for. Needs a live handle. */
DDC_API size_t ddc_execute(ddc_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap);
/*
 * Output capacity that suffices for a block of n_in samples whatever the state:
 * 0 for n_in = 0; n_in at rate 1; above rate 1, ceil(n_in * 2^32 / s) with
 * s = floor(2^32 / rate) the resampler's phase step; below rate 1 the worst case of the planned stages composed
 * in order (half-band floor((n+1)/2), CIC(R) floor((n+R-1)/R), decimating
 * resampler floor(((n-1)*s + 2^32 - 1)/2^32) + 1 as it stops once full,
 * interpolating remainder ceil(n*2^32/s)), which never exceeds max(n_in, 2).
 * Saturates at SIZE_MAX. For a designed plan the count is the exact number of
 * outputs the next block makes from this state.
 */
DDC_API size_t ddc_execute_capacity(const ddc_state_t *s, size_t n_in);
/* Oscillator phase and converter histories back to creation; frequency and rate kept. */
DDC_API void ddc_reset(ddc_state_t *s);
/* Releases the DDC; null is accepted. */
DDC_API void ddc_destroy(ddc_state_t *s);
/* The oscillator frequency as last set (not wrapped). */
DDC_API double ddc_get_norm_freq(const ddc_state_t *s);
/* Retunes from the next block on; the phase and all histories continue. */
DDC_API void ddc_set_norm_freq(ddc_state_t *s, double norm_freq);
/* The converter's rate, the one given at creation. */
DDC_API double ddc_get_rate(const ddc_state_t *s);
/* Always 0 (no fixed bound; see ddc_execute_capacity). */
DDC_API size_t ddc_execute_max_out(void);
/* The designed plan's attenuation in dB; 0 for the exact plan. */
DDC_API double ddc_get_atten_db(const ddc_state_t *s);
/* Group delay in output samples (see ddcr_get_delay). */
DDC_API double ddc_get_delay(const ddc_state_t *s);
/* Multiply-adds per input sample, all stages counted (real operations). */
DDC_API double ddc_get_cost(const ddc_state_t *s);
/* Stages: the oscillator, then the converter's stages. */
DDC_API int ddc_get_num_stages(const ddc_state_t *s);
/* Label of stage `index` into buf (cut like snprintf); 1, or 0 for an index
   out of range (buf untouched). */
DDC_API int ddc_stage_label(const ddc_state_t *s, int index, char *buf, size_t size);

DDC_EXTERN_C_END

#endif
