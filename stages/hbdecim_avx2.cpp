// AVX2+FMA block kernels of the half-band decimators.
//
// Eight consecutive real-to-complex outputs (four complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_simd.inc).
// Compiled with -mavx2 -mfma and called only when the CPU has both.
#if defined(__x86_64__)

#include "hbdecim_kernels.h"
#include "simd.h"

#include <immintrin.h>

namespace {

struct V {
    using reg = __m256;
    static constexpr int kLevel = DDC_SIMD_AVX2;
    static constexpr size_t W = 8;
    static constexpr size_t U = 2;
    static constexpr bool kShift = false; // no cheap cross-lane shift
    static reg zero() noexcept { return _mm256_setzero_ps(); }
    static reg set1(float v) noexcept { return _mm256_set1_ps(v); }
    static reg load(const float *p) noexcept { return _mm256_loadu_ps(p); }
    static void store(float *p, reg v) noexcept { _mm256_storeu_ps(p, v); }
    static reg add(reg a, reg b) noexcept { return _mm256_add_ps(a, b); }
    static reg sub(reg a, reg b) noexcept { return _mm256_sub_ps(a, b); }
    static reg mul(reg a, reg b) noexcept { return _mm256_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static reg xor_(reg a, reg b) noexcept { return _mm256_xor_ps(a, b); }
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        return parity ? _mm256_setr_ps(n, 0, n, 0, n, 0, n, 0) : _mm256_setr_ps(0, n, 0, n, 0, n, 0, n);
    }
    // x: 8 pairs (16 floats) -> a: 8 first samples, b: 8 second samples.
    static void deint_r(const float *x, float *a, float *b) noexcept
    {
        const __m256 v0 = _mm256_loadu_ps(x);
        const __m256 v1 = _mm256_loadu_ps(x + 8);
        // per 128-bit lane: a0 a1 a4 a5 | a2 a3 a6 a7, then restore the order of the 64-bit halves
        const __m256 ev = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 od = _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1));
        _mm256_storeu_ps(a, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(ev), _MM_SHUFFLE(3, 1, 2, 0))));
        _mm256_storeu_ps(b, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(od), _MM_SHUFFLE(3, 1, 2, 0))));
    }
    // x: 4 complex pairs -> a: 4 first samples, b: 4 second samples.
    static void deint_c(const cf32_t *x, cf32_t *a, cf32_t *b) noexcept
    {
        const __m256d v0 = _mm256_loadu_pd(reinterpret_cast<const double *>(x));
        const __m256d v1 = _mm256_loadu_pd(reinterpret_cast<const double *>(x + 4));
        const __m256d lo = _mm256_unpacklo_pd(v0, v1); // x0 x4 x2 x6
        const __m256d hi = _mm256_unpackhi_pd(v0, v1); // x1 x5 x3 x7
        _mm256_storeu_pd(reinterpret_cast<double *>(a), _mm256_permute4x64_pd(lo, _MM_SHUFFLE(3, 1, 2, 0)));
        _mm256_storeu_pd(reinterpret_cast<double *>(b), _mm256_permute4x64_pd(hi, _MM_SHUFFLE(3, 1, 2, 0)));
    }
    static void store_cplx(cf32_t *y, reg re, reg im) noexcept
    {
        const __m256 lo = _mm256_unpacklo_ps(re, im); // outputs 0 1 | 4 5
        const __m256 hi = _mm256_unpackhi_ps(re, im); // outputs 2 3 | 6 7
        _mm256_storeu_ps(&y[0].re, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(&y[4].re, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
};

} // namespace

#include "hbdecim_simd.inc"

#endif
