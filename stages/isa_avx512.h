/*
 * Library-internal: the AVX-512 (F, VL, BW, DQ) vector helpers every family's
 * AVX-512 source builds on (not exported); the names of isa_avx2.h on 16-float
 * registers. Included only by sources compiled for that target, in an
 * anonymous namespace.
 *
 * GCC 12 leaves the source of the unmasked forms of some intrinsics undefined
 * and then warns about it where they are inlined; the all-lanes zero-masked
 * forms used instead compute the same values with a defined source.
 */
#ifndef DDC_STAGES_ISA_AVX512_H
#define DDC_STAGES_ISA_AVX512_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "nco_simd.h"
#include "simd.h"

namespace {

struct Isa {
    using reg = __m512;
    using ireg = __m512i;
    using mask = __mmask16;
    static constexpr int kLevel = DDC_SIMD_AVX512;
    static constexpr size_t W = 16;

    static reg zero() noexcept { return _mm512_setzero_ps(); }
    static reg set1(float v) noexcept { return _mm512_set1_ps(v); }
    static reg loadu(const float *p) noexcept { return _mm512_loadu_ps(p); }
    static reg load(const float *p) noexcept { return _mm512_load_ps(p); } // 64-byte aligned
    static void storeu(float *p, reg v) noexcept { _mm512_storeu_ps(p, v); }
    static reg add(reg a, reg b) noexcept { return _mm512_add_ps(a, b); }
    static reg sub(reg a, reg b) noexcept { return _mm512_sub_ps(a, b); }
    static reg mul(reg a, reg b) noexcept { return _mm512_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static reg xor_(reg a, reg b) noexcept
    {
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(a), _mm512_castps_si512(b)));
    }
    static reg min(reg a, reg b) noexcept { return _mm512_maskz_min_ps(0xFFFF, a, b); }
    static reg max(reg a, reg b) noexcept { return _mm512_maskz_max_ps(0xFFFF, a, b); }

    static mask lanes(size_t count) noexcept
    {
        return count >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << count) - 1);
    }
    static reg load_masked(mask m, const float *p) noexcept { return _mm512_maskz_loadu_ps(m, p); }
    static void store_masked(float *p, mask m, reg v) noexcept { _mm512_mask_storeu_ps(p, m, v); }

    static reg splat_pair(const cf32_t *p) noexcept
    {
        return _mm512_castpd_ps(_mm512_maskz_broadcastsd_pd(0xFF, _mm_castsi128_pd(_mm_loadu_si64(p))));
    }
    // The front end's oscillator entries (cos, sin) of phases p0 .. p3 from its
    // 65536-entry pair table (index phase >> 16), one 64-bit load apiece, in a
    // 256-bit register (as isa_avx2.h's).
    static __m256 lo_entries(const cf32_t *tab, uint32_t p0, uint32_t p1, uint32_t p2, uint32_t p3) noexcept
    {
        const double *t = reinterpret_cast<const double *>(tab);
        const __m128d a = _mm_loadh_pd(_mm_load_sd(t + (p0 >> 16)), t + (p1 >> 16));
        const __m128d b = _mm_loadh_pd(_mm_load_sd(t + (p2 >> 16)), t + (p3 >> 16));
        return _mm256_castpd_ps(_mm256_set_m128d(b, a));
    }
    static reg dup_re(reg v) noexcept { return _mm512_maskz_moveldup_ps(0xFFFF, v); }
    static reg dup_im(reg v) noexcept { return _mm512_maskz_movehdup_ps(0xFFFF, v); }
    static reg swap_pairs(reg v) noexcept { return _mm512_maskz_permute_ps(0xFFFF, v, 0xB1); }
    static reg neg_re(reg v) noexcept
    {
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), _mm512_set1_epi64(0x80000000LL)));
    }
    static void deint_r(const float *x, float *a, float *b) noexcept
    {
        const __m512 v0 = _mm512_loadu_ps(x);
        const __m512 v1 = _mm512_loadu_ps(x + 16);
        const __m512i ev = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i od = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        _mm512_storeu_ps(a, _mm512_permutex2var_ps(v0, ev, v1));
        _mm512_storeu_ps(b, _mm512_permutex2var_ps(v0, od, v1));
    }
    static void deint_c(const cf32_t *x, cf32_t *a, cf32_t *b) noexcept
    {
        const __m512d v0 = _mm512_loadu_pd(reinterpret_cast<const double *>(x));
        const __m512d v1 = _mm512_loadu_pd(reinterpret_cast<const double *>(x + 8));
        const __m512i ev = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
        const __m512i od = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
        _mm512_storeu_pd(reinterpret_cast<double *>(a), _mm512_permutex2var_pd(v0, ev, v1));
        _mm512_storeu_pd(reinterpret_cast<double *>(b), _mm512_permutex2var_pd(v0, od, v1));
    }
    static void store_cplx(cf32_t *y, reg re, reg im) noexcept
    {
        const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const __m512i second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        _mm512_storeu_ps(&y[0].re, _mm512_permutex2var_ps(re, first, im));
        _mm512_storeu_ps(&y[8].re, _mm512_permutex2var_ps(re, second, im));
    }

    // One complex sample (re, im) in the two low lanes of a 128-bit register.
    using c1 = __m128;
    static c1 c1_zero() noexcept { return _mm_setzero_ps(); }
    static c1 c1_load(const float *p) noexcept { return _mm_castsi128_ps(_mm_loadu_si64(p)); }
    static void c1_store(cf32_t *p, c1 v) noexcept { _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(v)); }
    static c1 c1_add(c1 a, c1 b) noexcept { return _mm_add_ps(a, b); }
    // c*x + y on both parts, one rounding
    static c1 c1_fmadd(float c, c1 x, c1 y) noexcept { return _mm_fmadd_ps(_mm_set1_ps(c), x, y); }
};

// The fine oscillator's lane operations (nco_simd.h), shared by its own
// kernel and the half-band stage that mixes while it de-interleaves.
struct Nco {
    __m512i frac = _mm512_set1_epi32(static_cast<int>(ddc_nco::kFracMask));
    __m512 k = _mm512_set1_ps(ddc_nco::kRadPerUnit);
    __m512 half = _mm512_set1_ps(0.5f);
    __m512 one = _mm512_set1_ps(1.0f);
    __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));

    static __m128d pair2(const double *tab, uint32_t a, uint32_t b) noexcept
    {
        return _mm_loadh_pd(_mm_load_sd(tab + (a >> ddc_nco::kFracBits)), tab + (b >> ddc_nco::kFracBits));
    }
    // Table pairs of the phases q0, q0 + inc, ..., q0 + 7 inc, in order.
    static __m512 pairs8(const double *tab, uint32_t q0, uint32_t inc) noexcept
    {
        const uint32_t q1 = q0 + inc, q2 = q1 + inc, q3 = q2 + inc, q4 = q3 + inc;
        const uint32_t q5 = q4 + inc, q6 = q5 + inc, q7 = q6 + inc;
        const __m256d lo = _mm256_set_m128d(pair2(tab, q2, q3), pair2(tab, q0, q1));
        const __m256d hi = _mm256_set_m128d(pair2(tab, q6, q7), pair2(tab, q4, q5));
        return _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, _mm512_castpd256_pd512(lo), hi, 1));
    }
    // The oscillator from its table parts tre, tim and the lanes' phases p.
    void osc(__m512 tre, __m512 tim, __m512i p, __m512 &re, __m512 &im) const noexcept
    {
        const __m512 e = _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_and_si512(p, frac)), k);
        const __m512 c = _mm512_fnmadd_ps(_mm512_mul_ps(half, e), e, one);
        re = _mm512_fmsub_ps(tre, c, _mm512_mul_ps(tim, e));
        im = _mm512_fmadd_ps(tim, c, _mm512_mul_ps(tre, e));
    }
    // The signal (parts xre, xim) times the oscillator, in place of re and im.
    void mix(__m512 xre, __m512 xim, __m512 &re, __m512 &im) const noexcept
    {
        const __m512 u = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(_mm512_mul_ps(xim, im)), sign));
        const __m512 r = _mm512_fmadd_ps(xre, re, u);
        im = _mm512_fmadd_ps(xre, im, _mm512_mul_ps(xim, re));
        re = r;
    }
};

} // namespace

#endif
