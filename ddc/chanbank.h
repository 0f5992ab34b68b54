/*
 * Channel bank: many channels down-converted from one wideband stream, real
 * (float32) or complex (complex64), each with its own carrier, output rate and
 * stop-band attenuation, each written into its own buffer.
 *
 * Shared work runs once per input sample: for real input the real-to-complex
 * half-band (the designed DDCR's first stage, designed for the bank's
 * attenuation and largest rate), and, once a channel uses it, the
 * fast-convolution front end: overlap-save with a 65536-point FFT every 57344
 * samples of the complex stream. A channel takes one of two paths, fixed when
 * it is added:
 * - time domain: the designed DDCR (DDC) chain behind the shared stage, the
 *   fine oscillator and RateConverter_create_designed: the same bits as a
 *   designed DDCR with its carrier-independent first stage (one created at a
 *   carrier by the band's edge, then retuned to -(2*carrier + 0.5)), or as
 *   ddc_create_designed(-carrier, ...), started at the same sample, when the
 *   bank was created with that rate as max_rate and that attenuation;
 * - fast convolution: the bins around the carrier times the channel filter's
 *   response, a small inverse FFT (decimation by a power of two), the fine
 *   oscillator for the exact frequency and a designed converter for the exact
 *   rate. Same figures as the designed plans (pass band 0..0.4 fs_out within
 *   +-0.05 dB, tones beyond 0.6 fs_out from the carrier atten_db down), output
 *   in blocks of 57344 complex-stream samples.
 * Channels are added, removed and retuned between blocks; no other channel's
 * output changes by a bit. Every buffer is allocated when the bank is
 * created or a channel added: processing allocates nothing and cannot fail
 * for memory. Any block split gives the same bytes, on every kernel variant.
 * Carriers are in cycles per input sample: [0, 0.5] for real input, [-0.5,
 * 0.5] for complex input. One thread per handle.
 */
#ifndef DDC_DDC_CHANBANK_H
#define DDC_DDC_CHANBANK_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct chanbank chanbank_t;

/* Paths of a channel. AUTO takes the path that makes the whole set cheapest
   by the costs below: each channel its cheaper one once the bank runs the
   shared FFT, otherwise the time domain until the time-domain channels would
   cost more than the FFT with its channels. An AUTO channel's path is fixed by
   the first call that processes samples; until then later adds and removes
   may still move it (no output changes: none has reached it), so a set added
   at once is decided as a whole. */
enum { CHANBANK_PATH_AUTO = 0, CHANBANK_PATH_TIME = 1, CHANBANK_PATH_FFT = 2 };

/* New empty bank. atten_db in [40, 120] is the strictest attenuation its
   channels may ask for; max_rate their largest fs_out / fs_in: in (0, 0.5)
   for real input (it sets the half-band's transition), in (2^-32, 2^31) for
   complex input. Null for other arguments or an exhausted allocation. */
DDC_API chanbank_t *chanbank_create(int complex_input, double atten_db, double max_rate);
/* Releases the bank and its channels; null is accepted. */
DDC_API void chanbank_destroy(chanbank_t *b);
/* Every history and phase back to a fresh bank with the same channels. */
DDC_API void chanbank_reset(chanbank_t *b);
DDC_API int chanbank_is_complex(const chanbank_t *b);
DDC_API double chanbank_get_atten_db(const chanbank_t *b);
DDC_API double chanbank_get_max_rate(const chanbank_t *b);

/* Adds a channel from the next sample on; returns its id (>= 0, never reused
   by this bank), or -1 for a carrier outside the band, a rate outside
   (0, max_rate], an attenuation outside [40, the bank's], an unknown path, a
   fast-convolution path the rate cannot take (it needs rate*V < 0.95 for some
   decimation V >= 2 of the complex stream), or an exhausted allocation (the
   bank is unchanged). */
DDC_API int chanbank_add(chanbank_t *b, double carrier, double rate, double atten_db, int path);
/* Removes a channel; 0, or -1 for an unknown id. */
DDC_API int chanbank_remove(chanbank_t *b, int id);
/* New carrier from the next sample on, phases and histories continuing;
   0, or -1 for an unknown id or a carrier outside the band. */
DDC_API int chanbank_retune(chanbank_t *b, int id, double carrier);

/* Channels in id order; chanbank_channel_id gives the id at an index (-1 out
   of range). The arrays of chanbank_execute follow this order. */
DDC_API size_t chanbank_num_channels(const chanbank_t *b);
DDC_API int chanbank_channel_id(const chanbank_t *b, size_t index);
/* The settings of a channel (any pointer may be null); 0, or -1 for an
   unknown id. path is TIME or FFT, the one it runs. */
DDC_API int chanbank_channel_info(const chanbank_t *b, int id, double *carrier, double *rate,
                                  double *atten_db, int *path);
/* Group delay of a channel in its output samples (see ddcr_get_delay); NaN for
   an unknown id. */
DDC_API double chanbank_get_delay(const chanbank_t *b, int id);
/* Real multiply-adds per input sample of one channel (the shared work not
   counted); NaN for an unknown id. */
DDC_API double chanbank_get_cost(const chanbank_t *b, int id);
/* Multiply-adds per input sample of the shared work in force now. */
DDC_API double chanbank_get_shared_cost(const chanbank_t *b);
/* Output capacity that suffices for the channel's next block of n_in samples
   (its converter's bound; within a sample or two of the count); 0 for an
   unknown id. */
DDC_API size_t chanbank_capacity(const chanbank_t *b, int id, size_t n_in);

/*
 * Runs n_in samples (float32 for a real bank, chanbank_execute; complex64 for
 * a complex one, chanbank_execute_complex). outs[i] receives at most caps[i]
 * samples of the channel at index i and counts[i] the number written; a
 * capacity of chanbank_capacity always suffices, with less the channel's last
 * stage drops what has no room. Returns 0, or -1 (nothing consumed) for a
 * null bank, the other kind of input, or null arrays where they are needed.
 */
DDC_API int chanbank_execute(chanbank_t *b, const float *in, size_t n_in, cf32_t *const *outs,
                             const size_t *caps, size_t *counts);
DDC_API int chanbank_execute_complex(chanbank_t *b, const cf32_t *in, size_t n_in,
                                     cf32_t *const *outs, const size_t *caps, size_t *counts);

DDC_EXTERN_C_END

#endif
