/* Library-internal: the AVX2 passes of the FFT (fft_avx2.cpp), each lane the
   scalar pass's operations in its order. false: a shape left to the scalar
   pass (stride 1 with fewer than 4 butterflies, a stride not a multiple of 4). */
#ifndef DDC_DDC_FFT_INTERNAL_H
#define DDC_DDC_FFT_INTERNAL_H

#include "../stages/ddc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

bool ddc_fft_pass4_avx2(size_t n, size_t s, const cf32_t *x, cf32_t *y, const cf32_t *tw,
                        int inverse);
bool ddc_fft_pass2_avx2(size_t s, const cf32_t *x, cf32_t *y);

#ifdef __cplusplus
}
#endif

#endif
