/*
 * Library-internal complex FFT of power-of-two sizes for the channel bank
 * (not exported). Stockham autosort, radix 4 with a last radix-2 pass when
 * log2(n) is odd, float32 throughout with every product rounded on its own,
 * so the result is the same bits on every run (one build, whatever
 * ddc_simd_level says; no plan is chosen by timing).
 * Twiddles come from double cos/sin rounded once. Unnormalised both ways.
 */
#ifndef DDC_DDC_FFT_H
#define DDC_DDC_FFT_H

#include "../stages/ddc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fft_plan {
    size_t n;      /* transform size, a power of two */
    cf32_t *fwd;   /* per-pass twiddles for e^{-j...}, 3 per butterfly group */
    cf32_t *inv;   /* the same conjugated */
    size_t ntw;    /* twiddles per direction */
} fft_plan_t;

/* Fills plan for size n (a power of two, 1 .. 2^30); 0 on success, -1 for a
   bad size or an exhausted allocation (then plan holds nothing to free). */
int fft_plan_init(fft_plan_t *plan, size_t n);
/* Frees the twiddles; a zeroed plan is accepted. */
void fft_plan_free(fft_plan_t *plan);
/* Transforms x (n samples, overwritten) using work (n samples) as the other
   buffer; returns the one that holds the result (x or work). inverse nonzero
   takes e^{+j...}. */
cf32_t *fft_exec(const fft_plan_t *plan, cf32_t *x, cf32_t *work, int inverse);

/* y[k] = x[(k0 + k - b/2) mod (mask+1) ... ] times h, the bin gather of the
   bank: for k < b/2 the bin k0 + k, for k >= b/2 the bin k0 + k - b, each
   multiplied by h[k] (b a power of two >= 2, mask = n - 1 of the big FFT). */
void fft_gather_mul(const cf32_t *x, size_t mask, size_t k0, const cf32_t *h, size_t b,
                    cf32_t *y);

#ifdef __cplusplus
}
#endif

#endif
