/*
 * Translating decimator: real input in, a band around one carrier out as
 * complex samples at a rational rate up/down (0 < up/down < 1), in one stage.
 *
 * y_j = sum_k x[N_j - k] h(t_j - N_j + k) exp(+j 2 pi f (N_j - k)): the input
 * mixed by the oscillator at norm_freq f (cycles per input sample), filtered
 * by h and taken at t_j = j down/up input periods, N_j = floor(t_j). h is a
 * Kaiser-windowed sinc designed at creation for a stop-band attenuation
 * atten_db, with its pass band up to 0.4 and its stop band from 0.6 of the
 * output rate; its up phases are rows of T taps. The mixer is folded into
 * the rows, which are complex, so a real sample costs two multiply-adds per
 * row tap, and each output one rotation by the oscillator, whose value is
 * computed once per period of up outputs.
 * Measured on tones (tests/test_xlate.py and the down-converter's sweep,
 * tests/test_designed.py): the pass band is flat within 0.02 dB, whatever lies
 * more than 0.6 of the output rate from the carrier comes out at least
 * atten_db below a pass-band tone (a real tone at f lies at f and at -f), and
 * so do a pass-band tone's spurs.
 *
 * Timing: output j, counted from creation or reset, falls due when input N_j
 * is taken and shows the input at t_j - xlate_get_delay. The oscillator has
 * phase 0 at input 0 and a 32-bit phase (stages/nco.h), tuned from f as the
 * fine oscillator is; a retune takes effect from the next call, the phase
 * continuing. Every output is a dot product over a window of T inputs, so a
 * NaN or infinite input reaches every output whose window holds it. The
 * result does not depend on the kernel variant (stages/simd.h) nor on how the
 * stream is cut into blocks. One thread per handle; creation from any thread.
 */
#ifndef DDC_STAGES_XLATE_H
#define DDC_STAGES_XLATE_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct xlate_state xlate_state_t;

/* Designs the stage for the rate up/down (reduced here; 1 <= up < down, up at
   most 64, down at most 65536) and atten_db (40 to 140), tuned to norm_freq
   (any double). Null for any other argument or an exhausted allocation. */
DDC_API xlate_state_t *xlate_create(double norm_freq, uint32_t up, uint32_t down, double atten_db);
/* The ratio up/down that xlate_create accepts for rate, when rate is within
   1e-12 of one (relative): 1 and the reduced pair, else 0. */
DDC_API int xlate_ratio(double rate, uint32_t *up, uint32_t *down);
/* Releases the handle; null is accepted. */
DDC_API void xlate_destroy(xlate_state_t *s);
/* History, phase and time back to creation; the frequency kept. */
DDC_API void xlate_reset(xlate_state_t *s);
/* The frequency as last set (not wrapped). */
DDC_API double xlate_get_norm_freq(const xlate_state_t *s);
/* Retunes from the next call on; the oscillator phase continues. */
DDC_API void xlate_set_norm_freq(xlate_state_t *s, double norm_freq);
DDC_API uint32_t xlate_get_up(const xlate_state_t *s);
DDC_API uint32_t xlate_get_down(const xlate_state_t *s);
/* Taps per row T. */
DDC_API size_t xlate_get_num_taps(const xlate_state_t *s);
/* Real multiply-adds per input sample: two per tap and output, and the
   rotation's four per output. */
DDC_API double xlate_get_cost(const xlate_state_t *s);
/* Group delay in input periods: half the prototype's length. */
DDC_API double xlate_get_delay(const xlate_state_t *s);
/* Outputs that xlate_execute of n_in inputs writes from the current state
   with unlimited room, saturated at SIZE_MAX; 0 for n_in = 0. */
DDC_API size_t xlate_capacity(const xlate_state_t *s, size_t n_in);
/*
 * Takes n_in inputs and writes the outputs that fall due, at most cap; returns
 * the count, min(cap, xlate_capacity(s, n_in)). With cap below the capacity it
 * stops at the first output without room: the inputs before the one it falls
 * due with are taken, that input and the rest of the block are dropped. in and
 * out must not overlap.
 */
DDC_API size_t xlate_execute(xlate_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap);

DDC_EXTERN_C_END

#endif
