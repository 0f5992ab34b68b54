/*
 * Rate converter: reaches a ratio fs_out / fs_in with a short planned cascade
 * (one or two half-band decimators, a fourth-order CIC with an optional 7-tap
 * compensation FIR, and/or the polyphase resampler), run through two ping-pong
 * scratch buffers that grow to the longest block and never shrink.
 * Counts and capacities are in complex samples. Every function but destroy
 * needs a live handle; one thread per handle.
 */
#ifndef DDC_RATE_RATE_CONVERTER_H
#define DDC_RATE_RATE_CONVERTER_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct RateConverter RateConverter;

/* Attenuation range of the designed plans, dB. */
#define DDC_ATTEN_MIN 40.0
#define DDC_ATTEN_MAX 120.0

/* Stage type codes. */
enum { STAGE_HALFBAND = 0, STAGE_CIC = 1, STAGE_RESAMPLER = 2 };

/* Plans and builds the cascade for rate = fs_out / fs_in; compensate nonzero
   gives every CIC stage a 7-tap droop-compensation FIR. Null for a rate that
   is not finite, at or below 2^-32 or at or above 2^32, an unbuildable plan (a
   non-power-of-two rate below 1/8192), or an exhausted allocation. */
DDC_API RateConverter *RateConverter_create(int compensate, double rate);
/* Designed plan for rate with every filter designed at creation for atten_db
   in [DDC_ATTEN_MIN, DDC_ATTEN_MAX]: half-band decimators (one per octave)
   and a resampler with interpolated phases for a remainder; pass band
   0 .. 0.4 fs_out (0.4 fs_in above rate 1) within +-0.05 dB, everything
   beyond 0.6 fs_out (0.6 fs_in) rejected by atten_db; rate 1 copies. Null
   for a rate create refuses, an attenuation outside the range or an
   exhausted allocation. set_rate rebuilds a designed plan again. */
DDC_API RateConverter *RateConverter_create_designed(double rate, double atten_db);
/* Releases every stage, both scratch buffers and the converter; null accepted. */
DDC_API void RateConverter_destroy(RateConverter *rc);
/* Rebuilds the whole cascade from zero history, even for the same rate; a rate
   that create would refuse is ignored (nothing changes). A failed rebuild
   leaves an empty converter (every block gives 0) reporting the new rate. */
DDC_API void RateConverter_set_rate(RateConverter *rc, double rate);
/* The rate as last given (the requested ratio). */
DDC_API double RateConverter_get_rate(const RateConverter *rc);
/* Label of stage `index` into buf (size bytes with terminator, cut like snprintf);
   1, or 0 for an index out of range (buf untouched). */
DDC_API int RateConverter_stage_label(const RateConverter *rc, int index, char *buf, size_t size);
/* Number of stages: 1 or 2, 0 after a failed rebuild. */
DDC_API int RateConverter_get_num_stages(const RateConverter *rc);
/* Capacity of each scratch buffer in complex samples (0 before the first block). */
DDC_API size_t RateConverter_get_scratch_cap(const RateConverter *rc);
/* Runs n complex samples through all stages; returns the samples written to
   out (at most cap). Only the last stage sees cap; when it runs out of room the
   inputs it has not taken are dropped. 0 for an empty converter or when the
   scratch buffers or a stage's memory cannot grow (then nothing is consumed). */
DDC_API size_t RateConverter_execute(RateConverter *rc, const cf32_t *in, size_t n,
                                     cf32_t *out, size_t cap);
/* Every stage's history and phase back to creation; plan and buffers kept. */
DDC_API void RateConverter_reset(RateConverter *rc);
/* floor(rate*65536) + 2 above rate 1 (saturating), else 65538. */
DDC_API size_t RateConverter_execute_max_out(const RateConverter *rc);
/* Output capacity that suffices for the next block of n samples on this state:
   the stages' bounds composed in order (exact for designed stages). */
DDC_API size_t RateConverter_execute_capacity(const RateConverter *rc, size_t n);
/* The designed plan's attenuation in dB; 0 for the exact plan. */
DDC_API double RateConverter_get_atten_db(const RateConverter *rc);
/* Group delay in output samples (every stage's filter centre, in output samples). */
DDC_API double RateConverter_get_delay(const RateConverter *rc);
/* Real multiply-adds per complex input sample, all stages counted. */
DDC_API double RateConverter_get_cost(const RateConverter *rc);
/* One-shot create, execute, destroy; 0 if the converter cannot be created. */
DDC_API size_t RateConverter_convert(int compensate, double rate, const cf32_t *in, size_t n,
                                     cf32_t *out, size_t cap);

DDC_EXTERN_C_END

#endif
