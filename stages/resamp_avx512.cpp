/*
 * Resampler kernels for AVX-512 (F, VL, BW, DQ); the loops are those of
 * resamp_body.inc, on 16-float registers (eight complex lanes). Masked loads
 * and stores take a 16-bit lane mask; the partial-sum ring takes the
 * accumulators rotated with one align per register and adds them under a
 * mask. The 16 lane sums of an interpolated output are two registers (lanes
 * 0-7 and 8-15, re/im interleaved).
 *
 * GCC 12 leaves the source of the unmasked forms of some intrinsics
 * undefined and then warns about it where they are inlined; the all-lanes
 * zero-masked forms used instead compute the same values with a defined
 * source.
 */
#include "isa_avx512.h"
#include "resamp_simd.h"

namespace {

struct V : Isa {
    using Isa::lanes;
    static mask lanes(size_t count, size_t base)
    {
        if (count <= base) return 0;
        const size_t n = count - base;
        return n >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << n) - 1);
    }
    static reg load_masked_or(reg fill, mask m, const float *p) { return _mm512_mask_loadu_ps(fill, m, p); }
    static __m256 low256(reg v) { return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xF, _mm512_castps_pd(v), 0)); }
    static __m256 high256(reg v) { return _mm512_extractf32x8_ps(v, 1); }
    // Complex slots S .. S+7 of the pair (lo, hi), 0 < S < 8.
    template <int S>
    static reg window(reg lo, reg hi)
    {
        return _mm512_castsi512_ps(
            _mm512_maskz_alignr_epi32(0xFFFF, _mm512_castps_si512(hi), _mm512_castps_si512(lo), 2 * S));
    }
    using keep = __mmask16;  // set where the sum is kept, clear in the slot that starts anew
    static keep keep_all_but(long slot)
    {
        return slot < 0 || slot >= 8 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>(~(3u << (2 * slot)));
    }
    // Straight from memory into a mask register.
    static reg add_keep(const keep *m, reg a, reg b)
    {
        return _mm512_mask_add_ps(a, _load_mask16(const_cast<keep *>(m)), a, b);
    }
    // a + b, but a alone in complex slot S.
    template <int S>
    static reg add_but(reg a, reg b)
    {
        return _mm512_mask_add_ps(a, static_cast<__mmask16>(~(3u << (2 * S))), a, b);
    }
    template <int L>
    static void store_slot(cf32_t *p, reg v)
    {
        const __m128 q = _mm512_maskz_extractf32x4_ps(0xF, v, L / 2);
        if constexpr (L % 2 == 0) _mm_storel_pi(reinterpret_cast<__m64 *>(p), q);
        else _mm_storeh_pi(reinterpret_cast<__m64 *>(p), q);
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
    // Tap l of a group of 16 into both floats of complex lane l.
    const __m512i dup_lo = _mm512_set_epi32(7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0);
    const __m512i dup_hi = _mm512_set_epi32(15, 15, 14, 14, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8);
    __m512 l0 = _mm512_setzero_ps(), l1 = _mm512_setzero_ps();
    for (size_t k = 0; k < body; k += 16) {
        const __m512 c16 = _mm512_loadu_ps(c + k);
        l0 = fmadd(_mm512_maskz_permutexvar_ps(0xFFFF, dup_lo, c16), _mm512_loadu_ps(x + 2 * k), l0);
        l1 = fmadd(_mm512_maskz_permutexvar_ps(0xFFFF, dup_hi, c16), _mm512_loadu_ps(x + 2 * k + 16), l1);
    }
    const __m256 a = _mm256_add_ps(high256(l0), low256(l0));
    const __m256 b = _mm256_add_ps(low256(l1), high256(l1));
    return _q_sum(_mm256_add_ps(a, b));
}

size_t _decimate_entry(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    return _decimate_any(v, in, n_in, out, cap);
}

}  // namespace

const resamp_kernels resamp_kernels_avx512 = {_decimate_entry, _interpolate_any};
