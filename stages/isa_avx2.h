/*
 * Library-internal: the AVX2+FMA vector helpers every family's AVX2 source
 * builds on (not exported). Included only by sources compiled with -mavx2
 * -mfma; everything is in an anonymous namespace so that no copy built for
 * this target can stand in for code of another one. A family adds what only
 * it needs in its own struct derived from Isa.
 *
 * The same names, on the target's own register, are in isa_avx512.h and
 * isa_neon.h, so a shared kernel body (<family>_body.inc) compiles on each.
 */
#ifndef DDC_STAGES_ISA_AVX2_H
#define DDC_STAGES_ISA_AVX2_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "nco_simd.h"
#include "simd.h"

namespace {

struct Isa {
    using reg = __m256;
    using ireg = __m256i;
    using mask = __m256i; // all-ones in the lanes in use
    static constexpr int kLevel = DDC_SIMD_AVX2;
    static constexpr size_t W = 8; // floats per register

    static reg zero() noexcept { return _mm256_setzero_ps(); }
    static reg set1(float v) noexcept { return _mm256_set1_ps(v); }
    static reg loadu(const float *p) noexcept { return _mm256_loadu_ps(p); }
    static reg load(const float *p) noexcept { return _mm256_load_ps(p); } // 32-byte aligned
    static void storeu(float *p, reg v) noexcept { _mm256_storeu_ps(p, v); }
    static reg add(reg a, reg b) noexcept { return _mm256_add_ps(a, b); }
    static reg sub(reg a, reg b) noexcept { return _mm256_sub_ps(a, b); }
    static reg mul(reg a, reg b) noexcept { return _mm256_mul_ps(a, b); }
    // a*b + c, one rounding: the scalar std::fmaf
    static reg fmadd(reg a, reg b, reg c) noexcept { return _mm256_fmadd_ps(a, b, c); }
    static reg xor_(reg a, reg b) noexcept { return _mm256_xor_ps(a, b); }
    static reg min(reg a, reg b) noexcept { return _mm256_min_ps(a, b); }
    static reg max(reg a, reg b) noexcept { return _mm256_max_ps(a, b); }

    // The first `count` lanes (all of them from W on).
    static mask lanes(size_t count) noexcept
    {
        const int lim = count > W ? static_cast<int>(W) : static_cast<int>(count);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(lim), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static reg load_masked(mask m, const float *p) noexcept { return _mm256_maskload_ps(p, m); } // zero elsewhere
    static void store_masked(float *p, mask m, reg v) noexcept { _mm256_maskstore_ps(p, m, v); }

    // Complex samples as (re, im) lane pairs.
    static reg splat_pair(const cf32_t *p) noexcept
    {
        return _mm256_castpd_ps(_mm256_broadcastsd_pd(_mm_castsi128_pd(_mm_loadu_si64(p))));
    }
    // The front end's oscillator entries (cos, sin) of phases p0 .. p3 from its
    // 65536-entry pair table (index phase >> 16), one 64-bit load apiece.
    static reg lo_entries(const cf32_t *tab, uint32_t p0, uint32_t p1, uint32_t p2, uint32_t p3) noexcept
    {
        const double *t = reinterpret_cast<const double *>(tab);
        const __m128d a = _mm_loadh_pd(_mm_load_sd(t + (p0 >> 16)), t + (p1 >> 16));
        const __m128d b = _mm_loadh_pd(_mm_load_sd(t + (p2 >> 16)), t + (p3 >> 16));
        return _mm256_castpd_ps(_mm256_set_m128d(b, a));
    }
    static reg dup_re(reg v) noexcept { return _mm256_moveldup_ps(v); }
    static reg dup_im(reg v) noexcept { return _mm256_movehdup_ps(v); }
    static reg swap_pairs(reg v) noexcept { return _mm256_permute_ps(v, 0xB1); }
    static reg neg_re(reg v) noexcept // sign flip of the even lanes
    {
        return _mm256_xor_ps(v, _mm256_setr_ps(-0.0f, 0, -0.0f, 0, -0.0f, 0, -0.0f, 0));
    }
    // x: W pairs of floats -> a: the W first, b: the W second of each pair.
    // The quarters are loaded as x0-3 | x8-11 and x4-7 | x12-15, so one
    // in-lane shuffle apiece leaves a and b in order.
    static void deint_r(const float *x, float *a, float *b) noexcept
    {
        const __m256 v0 = _mm256_loadu2_m128(x + 8, x);
        const __m256 v1 = _mm256_loadu2_m128(x + 12, x + 4);
        _mm256_storeu_ps(a, _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm256_storeu_ps(b, _mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    // x: W/2 pairs of complex samples -> a: the first, b: the second of each
    // pair; loaded as x0 x1 | x4 x5 and x2 x3 | x6 x7 for the same reason.
    static void deint_c(const cf32_t *x, cf32_t *a, cf32_t *b) noexcept
    {
        const float *f = &x->re;
        const __m256d v0 = _mm256_castps_pd(_mm256_loadu2_m128(f + 8, f));
        const __m256d v1 = _mm256_castps_pd(_mm256_loadu2_m128(f + 12, f + 4));
        _mm256_storeu_pd(reinterpret_cast<double *>(a), _mm256_unpacklo_pd(v0, v1));
        _mm256_storeu_pd(reinterpret_cast<double *>(b), _mm256_unpackhi_pd(v0, v1));
    }
    // W complex outputs from a register of real parts and one of imaginary parts.
    static void store_cplx(cf32_t *y, reg re, reg im) noexcept
    {
        const __m256 lo = _mm256_unpacklo_ps(re, im); // outputs 0 1 | 4 5
        const __m256 hi = _mm256_unpackhi_ps(re, im); // outputs 2 3 | 6 7
        _mm256_storeu_ps(&y[0].re, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(&y[4].re, _mm256_permute2f128_ps(lo, hi, 0x31));
    }

    // W complex outputs, parts re and im, to y[0], y[stride], y[2 stride], ...
    static void store_strided(cf32_t *y, size_t stride, reg re, reg im) noexcept
    {
        const __m256 lo = _mm256_unpacklo_ps(re, im); // outputs 0 1 | 4 5
        const __m256 hi = _mm256_unpackhi_ps(re, im); // outputs 2 3 | 6 7
        const __m128 q[4] = {_mm256_castps256_ps128(lo), _mm256_castps256_ps128(hi), _mm256_extractf128_ps(lo, 1),
                             _mm256_extractf128_ps(hi, 1)};
        for (int k = 0; k < 4; ++k) {
            _mm_storel_pi(reinterpret_cast<__m64 *>(y + 2 * k * stride), q[k]);
            _mm_storeh_pi(reinterpret_cast<__m64 *>(y + (2 * k + 1) * stride), q[k]);
        }
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
    __m256i frac = _mm256_set1_epi32(static_cast<int>(ddc_nco::kFracMask));
    __m256 k = _mm256_set1_ps(ddc_nco::kRadPerUnit);
    __m256 half = _mm256_set1_ps(0.5f);
    __m256 one = _mm256_set1_ps(1.0f);
    __m256 sign = _mm256_set1_ps(-0.0f);

    // The lanes' phases q + order[l] * inc, and their step over 8 samples.
    static __m256i phases(uint32_t q, uint32_t inc, __m256i order) noexcept
    {
        return _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(q)),
                                _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int>(inc)), order));
    }
    static __m256i step8(uint32_t inc) noexcept { return _mm256_set1_epi32(static_cast<int>(inc << 3)); }
    static __m128d pair2(const double *tab, uint32_t a, uint32_t b) noexcept
    {
        return _mm_loadh_pd(_mm_load_sd(tab + (a >> ddc_nco::kFracBits)), tab + (b >> ddc_nco::kFracBits));
    }
    // Table pairs of the phases a, b in the low half, c, d in the high one.
    static __m256 quad(const double *tab, uint32_t a, uint32_t b, uint32_t c, uint32_t d) noexcept
    {
        return _mm256_castpd_ps(_mm256_set_m128d(pair2(tab, c, d), pair2(tab, a, b)));
    }
    // The oscillator from its table parts tre, tim and the lanes' phases p.
    void osc(__m256 tre, __m256 tim, __m256i p, __m256 &re, __m256 &im) const noexcept
    {
        const __m256 e = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(p, frac)), k);
        const __m256 c = _mm256_fnmadd_ps(_mm256_mul_ps(half, e), e, one);
        re = _mm256_fmsub_ps(tre, c, _mm256_mul_ps(tim, e));
        im = _mm256_fmadd_ps(tim, c, _mm256_mul_ps(tre, e));
    }
    // The signal (parts xre, xim) times the oscillator, in place of re and im.
    void mix(__m256 xre, __m256 xim, __m256 &re, __m256 &im) const noexcept
    {
        const __m256 r = _mm256_fmadd_ps(xre, re, _mm256_xor_ps(_mm256_mul_ps(xim, im), sign));
        im = _mm256_fmadd_ps(xre, im, _mm256_mul_ps(xim, re));
        re = r;
    }
};

} // namespace

#endif
