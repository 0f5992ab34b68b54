/* Library-internal planning of designed cascades (not exported). */
#ifndef DDC_RATE_RATE_DESIGN_H
#define DDC_RATE_RATE_DESIGN_H

#include "../stages/ddc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest cascade a designed plan can have: a half-band per octave down to
   2^-32, plus one resampler. */
#define DESIGN_MAX_STAGES 34

/* Extra attenuation every designed half-band gets over the plan's target, so
   the measured figures meet it with float32 coefficients and arithmetic. */
#define DESIGN_HB_MARGIN_DB 3.0

enum { DESIGN_HALFBAND = 0, DESIGN_RESAMPLER = 1, DESIGN_COPY = 2 };

typedef struct design_stage {
    int kind;      /* DESIGN_* */
    double delta;  /* half-band transition half-width, cycles per stage input sample */
    double rate;   /* resampler ratio */
} design_stage_t;

/* Plans the cascade for rate = fs_out / fs_in (complex samples) and fills
   stages; returns the count (1 or more), or 0 for a refused rate (outside
   (2^-32, 2^31), where the resampler's time step would vanish). Pass band
   0..0.4 fs_out, every tone beyond 0.6 fs_out rejected:
   - rate 1: a copy;  above 1: one interpolating resampler;
   - 2^-k: k half-bands, the last with the sharp 0.4 / 0.6 transition;
   - otherwise half-bands down to a remainder in (0.3, 0.6] (none above 0.6)
     and a resampler for it.
   Each half-band before the last stage keeps its transition band from
   folding within 0.6 fs_out: delta = 0.25 - 0.6 fs_out / (its input rate). */
int design_plan(double rate, design_stage_t *stages, int max_stages);

/* Transition half-width of the real-to-complex first stage of a designed
   real-input down-converter at rate (fs_out / fs_in): with it, tones whose
   negative-frequency image falls in the stage's transition band land more
   than 0.6 fs_out from any carrier whose band fits [0.05, 0.45] fs_in. */
double design_r2c_delta(double rate);

/* The widest transition half-width that keeps the same figures for one
   carrier f_c (normalised to fs_in, taken modulo 0.5): every tone whose
   image can land within 0.6 fs_out of f_c sits in [delta, 0.5 - delta], where
   the stage stops images fully. Never below design_r2c_delta(rate), at most
   0.24, in steps of 1/256. */
double design_r2c_delta_for(double rate, double carrier);

/* The carrier f_c in [0, 0.5) that a DDCR's norm_freq brings to 0 Hz. */
double design_r2c_carrier(double norm_freq);

#ifdef __cplusplus
}
#endif

#endif
