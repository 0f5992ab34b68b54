/*
 * Local oscillator: exp(+j*2*pi*f*n) from a 32-bit phase accumulator whose top
 * 16 bits index one process-wide 65536-entry float32 sine table.
 *
 * Frequencies are normalised (cycles per sample at the oscillator's rate), any
 * double; they are wrapped into [0, 1) only when turned into the increment
 * (truncated, saturating at 0xFFFFFFFF; NaN and infinities give 0).
 * One thread per handle; the table is filled once per process, thread-safely.
 */
#ifndef DDC_STAGES_LO_H
#define DDC_STAGES_LO_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct lo_state lo_state_t;

/* New oscillator at phase 0; null when allocation fails. */
DDC_API lo_state_t *lo_create(double norm_freq);
/* Frees the oscillator; null is accepted. */
DDC_API void lo_destroy(lo_state_t *s);
/* Phase back to 0; frequency kept. */
DDC_API void lo_reset(lo_state_t *s);
/* The frequency exactly as last given (not wrapped). */
DDC_API double lo_get_norm_freq(const lo_state_t *s);
/* Retune from the next sample on; the phase continues. */
DDC_API void lo_set_norm_freq(lo_state_t *s, double norm_freq);
DDC_API uint32_t lo_get_phase(const lo_state_t *s);
DDC_API void lo_set_phase(lo_state_t *s, uint32_t phase);
DDC_API uint32_t lo_get_phase_inc(const lo_state_t *s);
/* Writes exactly n samples to out (room for n complex samples); returns n. */
DDC_API size_t lo_steps(lo_state_t *s, size_t n, cf32_t *out);
/* As lo_steps; ctrl[k] (n float32 values) is an extra frequency applied to the step after sample k. */
DDC_API size_t lo_steps_ctrl(lo_state_t *s, const float *ctrl, size_t n, cf32_t *out);
/*
 * Multiplies x (n complex samples) by the next n oscillator samples o and
 * writes out[k] = x[k] * o[k] (no conjugation): exactly lo_steps into a block
 * followed by that product, each part one fused multiply-add whose addend is
 * the separately rounded second product. Advances the phase as lo_steps does.
 * out has room for n samples and may be x itself. Returns n.
 */
DDC_API size_t lo_mix(lo_state_t *s, const cf32_t *x, size_t n, cf32_t *out);
/* Both return the constant 65536. */
DDC_API size_t lo_steps_max_out(void);
DDC_API size_t lo_steps_ctrl_max_out(void);

DDC_EXTERN_C_END

#endif
