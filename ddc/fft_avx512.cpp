// The FFT passes built for AVX512 (compile options in CMakeLists.txt); the same
// source as the scalar reference, so the same bits.
#include "fft_simd.h"

namespace ddc_fft_avx512 {
#include "fft_kernels.inc"

cf32_t *exec(size_t n, const cf32_t *tw, cf32_t *x, cf32_t *work, int inverse)
{
    return _exec(n, tw, x, work, inverse);
}

void gather_mul(const cf32_t *x, size_t mask, size_t k0, const cf32_t *h, size_t b, cf32_t *y)
{
    _gather_mul(x, mask, k0, h, b, y);
}
} // namespace ddc_fft_avx512
