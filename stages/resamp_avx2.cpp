/*
 * Resampler kernels for AVX2 with FMA; the loops are those of resamp_body.inc, on
 * 8-float registers (four complex lanes). Masked loads and stores take an
 * integer lane mask; the partial-sum ring takes the accumulators rotated
 * with a 128-bit permute and a pair shuffle. The 16 lane sums of an
 * interpolated output are four registers (complex lanes 0-3, 4-7, 8-11,
 * 12-15).
 */
#include "isa_avx2.h"
#include "resamp_simd.h"

namespace {

struct V : Isa {
    using Isa::lanes;
    static mask lanes(size_t count, size_t base)
    {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const long long n = count > base ? static_cast<long long>(count - base) : 0;
        const int lim = n > 8 ? 8 : static_cast<int>(n);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(lim), idx);
    }
    static reg load_masked_or(reg fill, mask m, const float *p)
    {
        return _mm256_blendv_ps(fill, _mm256_maskload_ps(p, m), _mm256_castsi256_ps(m));
    }
    // Complex slots S .. S+3 of the pair (lo, hi), 0 < S < 4.
    template <int S>
    static reg window(reg lo, reg hi)
    {
        const reg mid = _mm256_permute2f128_ps(lo, hi, 0x21);  // slots 2..5
        if constexpr (S == 2) return mid;
        const __m256d l = _mm256_castps_pd(S == 1 ? lo : mid), h = _mm256_castps_pd(S == 1 ? mid : hi);
        return _mm256_castpd_ps(_mm256_shuffle_pd(l, h, 0x5));
    }
    using keep = __m256;  // all-ones where the sum is kept, zero in the slot that starts anew
    static keep keep_all_but(long slot)
    {
        const __m256i idx = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
        const __m256i hit = _mm256_cmpeq_epi32(idx, _mm256_set1_epi32(static_cast<int>(slot)));
        return _mm256_castsi256_ps(_mm256_xor_si256(hit, _mm256_set1_epi32(-1)));
    }
    static reg add_keep(const keep *m, reg a, reg b) { return _mm256_blendv_ps(a, _mm256_add_ps(a, b), *m); }
    // a + b, but a alone in complex slot S.
    template <int S>
    static reg add_but(reg a, reg b)
    {
        return _mm256_blend_ps(_mm256_add_ps(a, b), a, 3 << (2 * S));
    }
    template <int L>
    static void store_slot(cf32_t *p, reg v)
    {
        const __m128 h = L < 2 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1);
        if constexpr (L % 2 == 0) _mm_storel_pi(reinterpret_cast<__m64 *>(p), h);
        else _mm_storeh_pi(reinterpret_cast<__m64 *>(p), h);
    }
    // Lane sums p[0..15] over body taps (a multiple of 16), combined as
    // q[l] = (p[4+l] + p[l]) + (p[8+l] + p[12+l]), then (q0 + q1) + (q2 + q3).
    static c1 dot_body(const float *c, const float *x, size_t body);
};

}  // namespace

#include "resamp_body.inc"

namespace {

// q = (q0 q1 | q2 q3) -> (q0 + q1) + (q2 + q3)
inline __m128 _q_sum(__m256 q)
{
    const __m128 q01 = _mm256_castps256_ps128(q), q23 = _mm256_extractf128_ps(q, 1);
    return _mm_add_ps(_mm_add_ps(q01, _mm_movehl_ps(q01, q01)), _mm_add_ps(q23, _mm_movehl_ps(q23, q23)));
}

V::c1 V::dot_body(const float *c, const float *x, size_t body)
{
    // Taps 0-3 (4-7) of an 8-tap load into both floats of complex lanes 0-3.
    const __m256i dup_lo = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i dup_hi = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    __m256 l0 = _mm256_setzero_ps(), l1 = l0, l2 = l0, l3 = l0;
    for (size_t k = 0; k < body; k += 16) {
        const __m256 ca = _mm256_loadu_ps(c + k), cb = _mm256_loadu_ps(c + k + 8);
        const float *xk = x + 2 * k;
        l0 = fmadd(_mm256_permutevar8x32_ps(ca, dup_lo), _mm256_loadu_ps(xk), l0);
        l1 = fmadd(_mm256_permutevar8x32_ps(ca, dup_hi), _mm256_loadu_ps(xk + 8), l1);
        l2 = fmadd(_mm256_permutevar8x32_ps(cb, dup_lo), _mm256_loadu_ps(xk + 16), l2);
        l3 = fmadd(_mm256_permutevar8x32_ps(cb, dup_hi), _mm256_loadu_ps(xk + 24), l3);
    }
    return _q_sum(_mm256_add_ps(_mm256_add_ps(l1, l0), _mm256_add_ps(l2, l3)));
}

size_t _decimate_entry(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    return _decimate_any(v, in, n_in, out, cap);
}

}  // namespace

const resamp_kernels resamp_kernels_avx2 = {_decimate_entry, _interpolate_any};
