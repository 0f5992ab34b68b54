/*
 * Polyphase resampler by any ratio rate = fs_out / fs_in, with a 32-bit
 * fixed-point phase and a bank of P rows of T float32 taps (row-major).
 * The built-in bank has 4096 phases of 19 taps cut from one Kaiser-windowed
 * sinc (beta 5.65326, about 60 dB stop band).
 *
 * resamp_execute: rate exactly 1.0 copies; above 1 a direct-form interpolator;
 * below 1 a transposed decimator whose cut-off follows the output's Nyquist.
 * It needs P to be a power of two from 2 to 2^31 (the row is the top phase bits):
 * for any other P it writes nothing and returns 0, so no row outside the bank
 * is ever read. resamp_execute_ctrl works with every P >= 1.
 * One thread per handle.
 */
#ifndef DDC_STAGES_RESAMP_H
#define DDC_STAGES_RESAMP_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct resamp_state resamp_state_t;

/* Built-in bank; any rate is accepted (a rate <= 0 gives phase step 0). Null on exhausted memory. */
DDC_API resamp_state_t *resamp_create(double rate);
/* Copies the caller's num_phases*num_taps bank; null for P = 0, T = 0, a null bank,
   a rate <= 0 (or NaN) or an exhausted allocation. */
DDC_API resamp_state_t *resamp_create_custom(size_t num_phases, size_t num_taps,
                                             const float *bank, double rate);
DDC_API void resamp_destroy(resamp_state_t *s);
/* Phase, control time, history, accumulators and partial sums back to zero. */
DDC_API void resamp_reset(resamp_state_t *s);
DDC_API double resamp_get_rate(const resamp_state_t *s);
/* New rate from the next call on; all state continues. */
DDC_API void resamp_set_rate(resamp_state_t *s, double rate);
DDC_API size_t resamp_get_num_phases(const resamp_state_t *s);
DDC_API size_t resamp_get_num_taps(const resamp_state_t *s);
/* Introspection for tests and tools. */
DDC_API uint32_t resamp_get_phase(const resamp_state_t *s);
DDC_API uint32_t resamp_get_phase_step(const resamp_state_t *s);
DDC_API uint32_t resamp_get_phase_bits(const resamp_state_t *s);
DDC_API int resamp_get_interpolating(const resamp_state_t *s);
DDC_API size_t resamp_get_history_size(const resamp_state_t *s);
/* Pointer to the P*T bank (read-only). */
DDC_API const float *resamp_get_bank(const resamp_state_t *s);

/* Returns the samples written to out (at most cap). Inputs not taken when the capacity runs out are dropped. */
DDC_API size_t resamp_execute(resamp_state_t *s, const cf32_t *in, size_t n_in,
                              cf32_t *out, size_t cap);
/* Variable ratio: ctrl holds n_in 8-byte elements of which only the real part is read;
   rate + ctrl[i].re outputs fall due per input. */
DDC_API size_t resamp_execute_ctrl(resamp_state_t *s, const cf32_t *in, const cf32_t *ctrl,
                                   size_t n_in, cf32_t *out, size_t cap);

DDC_EXTERN_C_END

#endif
