/*
 * Designed polyphase resampler by rate = fs_out / fs_in, any ratio.
 *
 * The filter is designed at creation for a stop-band attenuation atten_db: a
 * Kaiser-windowed sinc with its pass band up to 0.4 and its stop band from
 * 0.6 of the lower of the two sample rates (for decimation the stop band
 * rejects what would alias, for interpolation the images). It is cut into P
 * phases of T taps (P a power of two, T a multiple of 16, zero taps padding
 * the far end), and the response between two adjacent phases is interpolated
 * linearly, so that a modest number of phases reaches the attenuation (16 to
 * 4096, more for a higher attenuation and a higher pass band). Measured on
 * tones (tests/test_presamp.py), for atten_db 60 to 120: the pass band is flat
 * within 0.02 dB, whatever lands in the output from the stop band is at least
 * atten_db below a pass-band tone, and so is every spur of a pass-band tone.
 *
 * Timing. Input k is at time k (in input periods) and output j, counted from
 * creation or reset, at t_j = j * s / 2^32 with s = 2^32 / rate rounded to
 * the nearest integer. Output j is the filtered input at t_j - presamp_get_delay.
 * Output j is produced as soon as the inputs it needs have arrived: after
 * input floor(t_j) is taken.
 *
 * Every output is a dot product of T taps with the window of the T newest
 * inputs, so a NaN or infinite input reaches every output whose window holds
 * it (also through a zero tap of the padding). The result does not depend on
 * the kernel variant (stages/simd.h) nor on how the stream is cut into blocks.
 * One thread per handle; creation from any thread.
 */
#ifndef DDC_STAGES_PRESAMP_H
#define DDC_STAGES_PRESAMP_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct presamp_state presamp_state_t;

/* Designs the filter for rate (finite, 2^-31 < rate < 2^31) and atten_db (40
   to 140). Null for any other argument, for a filter too large to hold (its
   length grows as 1/rate below 1; the table is limited to 1 GiB, reached
   between rates 2e-6 and 6e-6) and for an exhausted allocation. Tables are
   kept in a per-process cache of 8 MiB of static storage, shared by the
   handles of the same design (every rate from 1 up is one design), so
   creating the same (rate, atten_db) again is cheap: about 1 ms for the first
   120 dB design, a few microseconds from the cache. */
DDC_API presamp_state_t *presamp_create(double rate, double atten_db);
/* Releases the handle; null is accepted. */
DDC_API void presamp_destroy(presamp_state_t *s);
/* History and time back to creation. */
DDC_API void presamp_reset(presamp_state_t *s);
/* The rate and attenuation as given to create. */
DDC_API double presamp_get_rate(const presamp_state_t *s);
DDC_API double presamp_get_atten_db(const presamp_state_t *s);
/* Phases P and taps per phase T (a multiple of 16, the zero padding included). */
DDC_API size_t presamp_get_num_phases(const presamp_state_t *s);
DDC_API size_t presamp_get_num_taps(const presamp_state_t *s);
/* Group delay in input periods: half the unpadded filter length. */
DDC_API double presamp_get_delay(const presamp_state_t *s);
/* Outputs that presamp_execute of n_in inputs writes from the current state
   with unlimited room, saturated at SIZE_MAX; 0 for n_in = 0. */
DDC_API size_t presamp_capacity(const presamp_state_t *s, size_t n_in);
/*
 * Takes n_in inputs and writes the outputs that fall due, at most cap; returns
 * the count, min(cap, presamp_capacity(s, n_in)). With cap below the capacity
 * it stops at the first output without room: inputs are taken as long as the
 * first output they produce has room (or they produce none), and the rest of
 * the block is dropped. An input that has given some of its outputs stays
 * taken, and the outputs it still owes come first in the next call with
 * inputs. So a room of exactly the capacity loses nothing, even a room of 0
 * (the inputs are taken); n_in = 0, or cap = 0 with an output due at once,
 * changes nothing. in and out must not overlap.
 */
DDC_API size_t presamp_execute(presamp_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out,
                               size_t cap);

DDC_EXTERN_C_END

#endif
