/*
 * Rate converter: reaches a ratio fs_out / fs_in with a short planned cascade
 * (one or two half-band decimators, a fourth-order CIC with an optional 7-tap
 * compensation FIR, and/or the polyphase resampler), run through two ping-pong
 * scratch buffers that grow to the longest block and never shrink.
 * One thread per handle.
 */
#ifndef DDC_RATE_RATE_CONVERTER_H
#define DDC_RATE_RATE_CONVERTER_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct RateConverter RateConverter;

/* Stage type codes. */
enum { STAGE_HALFBAND = 0, STAGE_CIC = 1, STAGE_RESAMPLER = 2 };

/* Plans and builds; null for a rate that is not positive and finite, or at or
   below 2^-32, an unbuildable plan, or an exhausted allocation. */
DDC_API RateConverter *RateConverter_create(int compensate, double rate);
DDC_API void RateConverter_destroy(RateConverter *rc);
/* Rebuilds the whole cascade from zero history; an invalid rate is ignored.
   A failed rebuild leaves an empty converter (every block gives 0). */
DDC_API void RateConverter_set_rate(RateConverter *rc, double rate);
DDC_API double RateConverter_get_rate(const RateConverter *rc);
/* Label of stage `index` into buf (size bytes with terminator, cut like snprintf);
   1, or 0 for an index out of range (buf untouched). */
DDC_API int RateConverter_stage_label(const RateConverter *rc, int index, char *buf, size_t size);
DDC_API int RateConverter_get_num_stages(const RateConverter *rc);
/* Capacity of each scratch buffer in complex samples. */
DDC_API size_t RateConverter_get_scratch_cap(const RateConverter *rc);
/* Runs one block; returns the samples written to out (at most cap). */
DDC_API size_t RateConverter_execute(RateConverter *rc, const cf32_t *in, size_t n,
                                     cf32_t *out, size_t cap);
DDC_API void RateConverter_reset(RateConverter *rc);
/* floor(rate*65536) + 2 above rate 1, else 65538. */
DDC_API size_t RateConverter_execute_max_out(const RateConverter *rc);
/* One-shot create, execute, destroy; 0 if the converter cannot be created. */
DDC_API size_t RateConverter_convert(int compensate, double rate, const cf32_t *in, size_t n,
                                     cf32_t *out, size_t cap);

DDC_EXTERN_C_END

#endif
