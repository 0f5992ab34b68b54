// AVX2 passes of the FFT: four complex values per register, interleaved.
// Products are rounded on their own and added as the scalar pass adds them
// (a complex product is mul, mul, addsub), so each lane has its bits.
#include "fft_internal.h"

#include <immintrin.h>

namespace {

inline __m256 cmul(__m256 a, __m256 w)
{
    const __m256 wr = _mm256_moveldup_ps(w), wi = _mm256_movehdup_ps(w);
    const __m256 sw = _mm256_permute_ps(a, 0xB1); // (im, re)
    // (re*wr - im*wi, im*wr + re*wi)
    return _mm256_addsub_ps(_mm256_mul_ps(a, wr), _mm256_mul_ps(sw, wi));
}

// -j*v forward, +j*v inverse, with 0 - x as the scalar pass negates.
inline __m256 rot(__m256 v, int inverse)
{
    const __m256 sw = _mm256_permute_ps(v, 0xB1);
    const __m256 neg = _mm256_sub_ps(_mm256_setzero_ps(), sw);
    return inverse ? _mm256_blend_ps(sw, neg, 0x55) : _mm256_blend_ps(sw, neg, 0xAA);
}

inline void bfly(__m256 a, __m256 b, __m256 c, __m256 d, __m256 w1, __m256 w2, __m256 w3,
                 int inverse, __m256 *y0, __m256 *y1, __m256 *y2, __m256 *y3)
{
    const __m256 t0 = _mm256_add_ps(a, c), t1 = _mm256_sub_ps(a, c);
    const __m256 t2 = _mm256_add_ps(b, d), t3 = rot(_mm256_sub_ps(b, d), inverse);
    *y0 = _mm256_add_ps(t0, t2);
    *y1 = cmul(_mm256_add_ps(t1, t3), w1);
    *y2 = cmul(_mm256_sub_ps(t0, t2), w2);
    *y3 = cmul(_mm256_sub_ps(t1, t3), w3);
}

inline __m256 ld(const cf32_t *p) { return _mm256_loadu_ps(reinterpret_cast<const float *>(p)); }
inline void st(cf32_t *p, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float *>(p), v); }
inline __m256 bc(const cf32_t *p)
{
    return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double *>(p)));
}

} // namespace

extern "C" {

bool ddc_fft_pass4_avx2(size_t n, size_t s, const cf32_t *x, cf32_t *y, const cf32_t *tw,
                        int inverse)
{
    const size_t m = n / 4;
    if (s == 1) {
        if (m % 4)
            return false;
        // Four butterflies side by side; their outputs y[4p + r] by a 4x4 transpose.
        for (size_t p = 0; p < m; p += 4) {
            __m256 r0, r1, r2, r3;
            bfly(ld(x + p), ld(x + p + m), ld(x + p + 2 * m), ld(x + p + 3 * m), ld(tw + p),
                 ld(tw + m + p), ld(tw + 2 * m + p), inverse, &r0, &r1, &r2, &r3);
            const __m256d a = _mm256_castps_pd(r0), b = _mm256_castps_pd(r1),
                          c = _mm256_castps_pd(r2), d = _mm256_castps_pd(r3);
            const __m256d t0 = _mm256_unpacklo_pd(a, b), t1 = _mm256_unpackhi_pd(a, b);
            const __m256d t2 = _mm256_unpacklo_pd(c, d), t3 = _mm256_unpackhi_pd(c, d);
            cf32_t *o = y + 4 * p;
            st(o, _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x20)));
            st(o + 4, _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x20)));
            st(o + 8, _mm256_castpd_ps(_mm256_permute2f128_pd(t0, t2, 0x31)));
            st(o + 12, _mm256_castpd_ps(_mm256_permute2f128_pd(t1, t3, 0x31)));
        }
        return true;
    }
    if (s % 4)
        return false;
    for (size_t p = 0; p < m; ++p) {
        const __m256 w1 = bc(tw + p), w2 = bc(tw + m + p), w3 = bc(tw + 2 * m + p);
        const cf32_t *xa = x + s * p, *xb = x + s * (p + m), *xc = x + s * (p + 2 * m),
                     *xd = x + s * (p + 3 * m);
        cf32_t *y0 = y + s * (4 * p), *y1 = y0 + s, *y2 = y1 + s, *y3 = y2 + s;
        for (size_t q = 0; q < s; q += 4) {
            __m256 r0, r1, r2, r3;
            bfly(ld(xa + q), ld(xb + q), ld(xc + q), ld(xd + q), w1, w2, w3, inverse, &r0, &r1,
                 &r2, &r3);
            st(y0 + q, r0);
            st(y1 + q, r1);
            st(y2 + q, r2);
            st(y3 + q, r3);
        }
    }
    return true;
}

bool ddc_fft_pass2_avx2(size_t s, const cf32_t *x, cf32_t *y)
{
    if (s % 4)
        return false;
    for (size_t q = 0; q < s; q += 4) {
        const __m256 a = ld(x + q), b = ld(x + q + s);
        st(y + q, _mm256_add_ps(a, b));
        st(y + q + s, _mm256_sub_ps(a, b));
    }
    return true;
}

} // extern "C"
