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

/* New DDCR tuned to norm_freq (cycles per sample at fs_in/2, any double) for
   fs_out = rate*fs_in. Null for a rate outside (0, 0.5) (NaN included) or an
   exhausted allocation. */
DDC_API ddcr_state_t *ddcr_create(double norm_freq, double rate);
/* Runs n_in real samples through the chain and writes complex samples to out
   (room for cap). Returns the samples written (at most cap); 0 for n_in = 0, a
   held-over odd sample, or an allocation failure (then nothing is consumed).
   A capacity of ddcr_execute_capacity(n_in) always suffices; with less, the
   last stage drops the inputs it has no room for. Needs a live handle. */
DDC_API size_t ddcr_execute(ddcr_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap);
/* Output capacity that suffices for a block of n_in samples on any DDCR in any
   state: 0 for n_in = 0, otherwise max(n_in, 2). A single sample can complete
   a CIC output that an interpolating remainder resampler turns into two. */
DDC_API size_t ddcr_execute_capacity(size_t n_in);
/* Every history and phase back to creation; frequency and rate kept. */
DDC_API void ddcr_reset(ddcr_state_t *s);
/* Releases the DDCR; null is accepted. */
DDC_API void ddcr_destroy(ddcr_state_t *s);
/* The oscillator frequency as last set (not wrapped). */
DDC_API double ddcr_get_norm_freq(const ddcr_state_t *s);
/* Retunes from the next block on; the oscillator phase and all histories continue. */
DDC_API void ddcr_set_norm_freq(ddcr_state_t *s, double norm_freq);
/* The rate given at creation. */
DDC_API double ddcr_get_rate(const ddcr_state_t *s);
/* Always 0 (no fixed bound; see ddcr_execute_capacity). */
DDC_API size_t ddcr_execute_max_out(void);

DDC_EXTERN_C_END

#endif
