/*
 * Kaiser's empirical design formulas for windowed low-pass filters. Pure; thread-safe.
 */
#ifndef DDC_DESIGN_KAISER_H
#define DDC_DESIGN_KAISER_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

/* Window shape parameter for a stop-band attenuation in dB (0 below 21 dB and for NaN). */
DDC_API double kaiser_beta(double atten_db);

/*
 * Taps per branch of a polyphase prototype with `phases` branches, for the
 * attenuation and the transition band [f_pass, f_stop] (fractions of one
 * branch's sample rate). phases <= 0 gives 1. A transition band of zero,
 * negative or NaN width has no answer and gives 0, which is never a valid
 * length; an estimate beyond the int32 range saturates at INT32_MAX.
 */
DDC_API int32_t kaiser_num_taps(int32_t phases, double atten_db, double f_pass, double f_stop);

DDC_EXTERN_C_END

#endif
