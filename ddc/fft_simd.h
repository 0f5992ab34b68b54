// Vector builds of the FFT passes (fft_kernels.inc); on a machine or compiler
// without the target they fall back to the scalar build.
#ifndef DDC_DDC_FFT_SIMD_H
#define DDC_DDC_FFT_SIMD_H

#include "../stages/ddc_types.h"

namespace ddc_fft_avx2 {
cf32_t *exec(size_t n, const cf32_t *tw, cf32_t *x, cf32_t *work, int inverse);
void gather_mul(const cf32_t *x, size_t mask, size_t k0, const cf32_t *h, size_t b, cf32_t *y);
} // namespace ddc_fft_avx2

namespace ddc_fft_avx512 {
cf32_t *exec(size_t n, const cf32_t *tw, cf32_t *x, cf32_t *work, int inverse);
void gather_mul(const cf32_t *x, size_t mask, size_t k0, const cf32_t *h, size_t b, cf32_t *y);
} // namespace ddc_fft_avx512

#endif
