/*
 * CIC decimation kernel for AVX2 with FMA, compiled for that target only and
 * called only when the CPU has it. The quantiser runs on eight components at
 * a time with the scalar kernel's exact steps: x * 32768 in float32, NaN to
 * zero, clamp to [-32768, 32767], truncate toward zero, lift by 32768; the
 * rest is the shared integer loop of cic_run.h.
 */
#include "cic_simd.h"

#if defined(__x86_64__)

#include "cic_run.h"

namespace {

inline __m256i _lift8(__m256 x)
{
    __m256 v = _mm256_mul_ps(x, _mm256_set1_ps(32768.0f));
    v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));  // NaN -> +0.0
    v = _mm256_min_ps(v, _mm256_set1_ps(32767.0f));
    v = _mm256_max_ps(v, _mm256_set1_ps(-32768.0f));
    return _mm256_add_epi32(_mm256_cvttps_epi32(v), _mm256_set1_epi32(0x8000));
}

void _quantise(const cf32_t *in, size_t m, uint32_t *u)
{
    const float *x = reinterpret_cast<const float *>(in);
    const size_t nf = 2 * m;
    size_t k = 0;
    for (; k + 8 <= nf; k += 8)
        _mm256_store_si256(reinterpret_cast<__m256i *>(u + k), _lift8(_mm256_loadu_ps(x + k)));
    if (k < nf) {  // tail: masked load, lanes past the end are never read back
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(nf - k)), idx);
        _mm256_store_si256(reinterpret_cast<__m256i *>(u + k), _lift8(_mm256_maskload_ps(x + k, mask)));
    }
}

}  // namespace

size_t _cic_decimate_avx2(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out)
{
    return _cic_run(v, in, n, out, _quantise);
}

#endif
