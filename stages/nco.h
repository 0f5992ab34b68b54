/*
 * Fine oscillator: exp(+j*2*pi*f*n) from a 32-bit phase accumulator, for the
 * mixers that need more than the 16-bit-phase oscillator of lo.h can give:
 * every spur stays below -139 dBc (lo.h: about -96 dBc).
 *
 * The top 12 bits of the phase index a process-wide 4096-entry (cos, sin)
 * table T; the remaining 20 bits, as an angle e, rotate T by
 * (1 - e*e/2, e). Per sample, in float32:
 *     idx = p >> 20, r = p & 0xFFFFF
 *     e = (float)r * K, K = (float)(2*pi / 2^32)
 *     c = fma(-(0.5*e), e, 1)
 *     o = (fma(T.re, c, -(T.im*e)), fma(T.im, c, T.re*e))
 * with every product rounded before it meets a fused addition.
 *
 * Frequencies are normalised (cycles per sample), any double, turned into the
 * increment exactly as lo.h does (wrapped into [0, 1), truncated, saturating
 * at 0xFFFFFFFF; NaN and infinities give 0). One thread per handle; the table
 * is filled once per process, thread-safely.
 */
#ifndef DDC_STAGES_NCO_H
#define DDC_STAGES_NCO_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct nco_state nco_state_t;

/* New oscillator at phase 0; null when allocation fails. */
DDC_API nco_state_t *nco_create(double norm_freq);
/* Frees the oscillator; null is accepted. */
DDC_API void nco_destroy(nco_state_t *s);
/* Phase back to 0; frequency kept. */
DDC_API void nco_reset(nco_state_t *s);
/* The frequency exactly as last given (not wrapped). */
DDC_API double nco_get_norm_freq(const nco_state_t *s);
/* Retune from the next sample on; the phase continues. */
DDC_API void nco_set_norm_freq(nco_state_t *s, double norm_freq);
DDC_API uint32_t nco_get_phase(const nco_state_t *s);
DDC_API void nco_set_phase(nco_state_t *s, uint32_t phase);
DDC_API uint32_t nco_get_phase_inc(const nco_state_t *s);
/* Writes the next n oscillator samples to out (room for n); returns n. */
DDC_API size_t nco_steps(nco_state_t *s, size_t n, cf32_t *out);
/*
 * out[k] = in[k] * o[k] for the next n oscillator samples o (no conjugation):
 * re = fma(x.re, o.re, -(x.im*o.im)), im = fma(x.re, o.im, x.im*o.re).
 * Advances the phase as nco_steps does. out has room for n samples and may be
 * in itself (exactly, not partially overlapping). Returns n.
 */
DDC_API size_t nco_mix(nco_state_t *s, const cf32_t *in, size_t n, cf32_t *out);

DDC_EXTERN_C_END

#endif
