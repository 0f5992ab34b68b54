/*
 * Real-input digital down-converter (DDCR):
 *   x (real, fs_in) -> half-band R2C decimator 2:1 with an embedded fs/4 shift
 *     -> NCO mixer at fs_in/2 (norm_freq) -> rate converter for 2*rate
 *     -> y (complex, fs_out = rate*fs_in),  0 < rate < 0.5.
 * A real carrier at f_c (normalised to fs_in) lands at 0 Hz with
 * norm_freq = -(2*f_c + 0.5). Blocks of any sizes give bit-identical output.
 * One thread per handle.
 *
 * Quality, measured by tests/test_ddcr.py (fs_out = rate*fs_in):
 * - plans of half-band and resampler stages (2*rate = 1/2, 1/4, or above 1/8
 *   and not a power of two): flat within 0.01 dB up to 0.4*fs_out; tones beyond
 *   0.6*fs_out at least 55 dB down (about 58 dB half-band, 61 dB resampler);
 * - plans with a CIC (2*rate <= 1/8, no droop compensation): CIC alone droops
 *   3.6 dB at 0.25*fs_out and 9.6 dB at 0.4*fs_out and rejects only 23-24 dB
 *   at 0.6*fs_out (the sinc^4 response); with a remainder resampler the droop
 *   is 1.9-6.6 dB at 0.25*fs_out and 4.8-19.8 dB at 0.4*fs_out, and the worst
 *   tone beyond 0.6*fs_out is 28-50 dB down, depending on the remainder.
 * - the mixer runs at fs_in/2, so a tone more than fs_in/4 away from the
 *   carrier (possible when the carrier is far from fs_in/4) wraps around and
 *   may land in the pass band.
 */
#ifndef DDC_DDC_DDCR_H
#define DDC_DDC_DDCR_H

#include "../rate/rate_converter.h"

DDC_EXTERN_C_BEGIN

typedef struct ddcr_state ddcr_state_t;

/*
 * Designed plan: the same chain with every filter designed at creation for a
 * stop-band attenuation atten_db in [DDC_ATTEN_MIN, DDC_ATTEN_MAX] dB, a
 * 32-bit-phase oscillator and float arithmetic throughout (no clamping or
 * quantisation: silence in gives exact zeros out, levels above 1 pass).
 * Above rate 1/4, where the rate is a small ratio (xlate_ratio in
 * stages/xlate.h: 0.3 = 3/10, 0.45 = 9/20, 1/3, ...), the plan is one stage
 * instead, the translating decimator at the input rate (one stage label,
 * "Translator(up/down, T taps x up rows)"), with the same figures; there no
 * 2:1 stage needs a transition as narrow as the output's.
 * Figures, measured by tests/test_designed.py at every rate:
 * - pass band 0 .. 0.4*fs_out within +-0.05 dB of the gain at 0.1*fs_out;
 * - every input tone more than 0.6*fs_out from the carrier at least atten_db
 *   below a pass-band tone of the same amplitude, for tones anywhere in
 *   (0, 0.5)*fs_in, whenever the wanted band (carrier +- 0.5*fs_out) lies in
 *   [0.05, 0.45]*fs_in; the band's mirror image is rejected as well;
 * - in the chain, the first stage's transition is the widest that keeps
 *   these figures for the carrier given here (design_r2c_delta_for in
 *   rate/rate_design.h);
 *   ddcr_set_norm_freq to a carrier it cannot serve switches it, once, to the
 *   carrier-independent design, built here, carrying the stream's history
 *   over (the delay changes then);
 * - a pass-band tone's spurious-free dynamic range at least atten_db.
 * Null for a rate outside (0, 0.5), an attenuation outside the range (NaN
 * included) or an exhausted allocation. Every other ddcr_* function works on
 * both kinds of plan.
 */
DDC_API ddcr_state_t *ddcr_create_designed(double norm_freq, double rate, double atten_db);

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
/* Output capacity that suffices for the next block of n_in samples on this
   state: each stage's bound composed in order, within a few samples of
   rate*n_in (exact for designed stages). */
DDC_API size_t ddcr_capacity(const ddcr_state_t *s, size_t n_in);
/* Every history and phase back to creation; frequency and rate kept. */
DDC_API void ddcr_reset(ddcr_state_t *s);
/* Releases the DDCR; null is accepted. */
DDC_API void ddcr_destroy(ddcr_state_t *s);
/* The oscillator frequency as last set (not wrapped). */
DDC_API double ddcr_get_norm_freq(const ddcr_state_t *s);
/* Retunes from the next block on; the oscillator phase and all histories continue
   (on a designed plan the first stage may switch; see ddcr_create_designed). */
DDC_API void ddcr_set_norm_freq(ddcr_state_t *s, double norm_freq);
/* The rate given at creation. */
DDC_API double ddcr_get_rate(const ddcr_state_t *s);
/* Always 0 (no fixed bound; see ddcr_execute_capacity). */
DDC_API size_t ddcr_execute_max_out(void);
/* The designed plan's attenuation in dB; 0 for the exact plan. */
DDC_API double ddcr_get_atten_db(const ddcr_state_t *s);
/* Group delay in output samples: output j (time j/rate input samples) shows the
   input around time (j - delay)/rate. */
DDC_API double ddcr_get_delay(const ddcr_state_t *s);
/* Multiply-adds per input sample, all stages counted (real operations). */
DDC_API double ddcr_get_cost(const ddcr_state_t *s);
/* Stages: the decimator, the oscillator, then the converter's stages. */
DDC_API int ddcr_get_num_stages(const ddcr_state_t *s);
/* Label of stage `index` into buf (size bytes with terminator, cut like
   snprintf); 1, or 0 for an index out of range (buf untouched). */
DDC_API int ddcr_stage_label(const ddcr_state_t *s, int index, char *buf, size_t size);

DDC_EXTERN_C_END

#endif
