/*
 * Designed resampler kernels for AVX-512 (F, VL, BW, DQ); the loops are those of
 * presamp_body.inc with the 16 lane sums of a part in one register.
 *
 * Folding: the 256-bit halves of re and im of an output are regrouped so that
 * one add gives a[j] + a[j + 8] for both parts, then two outputs share a
 * register of 128-bit blocks (re a, im a, re b, im b) for a[j] + a[j + 4],
 * and in-block shuffles give a[j] + a[j + 2] and a[0] + a[1], for one pair or
 * for two pairs together. Every add keeps the lower lane as its first
 * operand, as the scalar loop.
 *
 * GCC 12 leaves the source of the unmasked forms of some intrinsics undefined
 * and then warns about it where they are inlined; the all-lanes zero-masked
 * forms used instead compute the same values with a defined source.
 */
#include "isa_avx512.h"
#include "presamp_simd.h"

namespace {

struct V {
    using R = __m512;
    static constexpr bool kFour = true;
    static constexpr size_t kGroup = 8;  // outputs sharing a row: 16 sums and the row in registers
    static R zero() { return _mm512_setzero_ps(); }
    static R load(const float *p) { return _mm512_load_ps(p); }
    static R loadu(const float *p) { return _mm512_loadu_ps(p); }
    // A window at any float offset crosses a cache line in every 64-byte load,
    // in at most one of the two 32-byte halves.
    static R loadh(const float *p)
    {
        return _mm512_maskz_insertf32x8(0xFFFF, _mm512_castps256_ps512(_mm256_loadu_ps(p)), _mm256_loadu_ps(p + 8), 1);
    }
    static R set1(float v) { return _mm512_set1_ps(v); }
    static R fma(R a, R b, R c) { return Isa::fmadd(a, b, c); }

    // (re[0..7] + re[8..15] | im[0..7] + im[8..15])
    static R fold16(R re, R im)
    {
        const R lo = _mm512_maskz_shuffle_f32x4(0xFFFF, re, im, 0x44);  // re b0 b1, im b0 b1
        const R hi = _mm512_maskz_shuffle_f32x4(0xFFFF, re, im, 0xEE);  // re b2 b3, im b2 b3
        return Isa::add(lo, hi);
    }
    // Blocks (re a, im a, re b, im b) of 8-lane sums a and b, a[j] + a[j + 4].
    static R fold8_to4(R a, R b)
    {
        const R lo = _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0x88);  // a b0 b2, b b0 b2
        const R hi = _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0xDD);  // a b1 b3, b b1 b3
        return Isa::add(lo, hi);
    }
    // The same, folded on to lane 0 of each block.
    static R fold8(R a, R b)
    {
        R w = fold8_to4(a, b);
        w = Isa::add(w, _mm512_maskz_permute_ps(0xFFFF, w, 0x4E));  // lanes 2 3 0 1
        return Isa::add(w, _mm512_maskz_permute_ps(0xFFFF, w, 0xB1));  // lanes 1 0 3 2
    }
    static __m128 gather(R w)
    {
        const __m512i idx = _mm512_setr_epi32(0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12);
        return _mm512_maskz_extractf32x4_ps(0xF, _mm512_maskz_permutexvar_ps(0xFFFF, idx, w), 0);
    }
    static void store2(cf32_t *o, R ra, R ia, R rb, R ib)
    {
        _mm_storeu_ps(reinterpret_cast<float *>(o), gather(fold8(fold16(ra, ia), fold16(rb, ib))));
    }
    // Two registers of folded pairs, (a, b) and (c, d), to lane 0 and 1 of each block.
    static void store4(cf32_t *o, R ra, R ia, R rb, R ib, R rc, R ic, R rd, R id)
    {
        const R x = fold8_to4(fold16(ra, ia), fold16(rb, ib));
        const R y = fold8_to4(fold16(rc, ic), fold16(rd, id));
        R w = Isa::add(_mm512_maskz_shuffle_ps(0xFFFF, x, y, 0x44), _mm512_maskz_shuffle_ps(0xFFFF, x, y, 0xEE));
        w = Isa::add(_mm512_maskz_shuffle_ps(0xFFFF, w, w, 0x88), _mm512_maskz_shuffle_ps(0xFFFF, w, w, 0xDD));
        const __m512i idx = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 0, 4, 8, 12, 1, 5, 9, 13);
        _mm256_storeu_ps(reinterpret_cast<float *>(o),
                         _mm512_maskz_extractf32x8_ps(0xFF, _mm512_maskz_permutexvar_ps(0xFFFF, idx, w), 0));
    }
    // The same into o[0], o[s], o[2 s], o[3 s].
    static void store4s(cf32_t *o, size_t s, R ra, R ia, R rb, R ib, R rc, R ic, R rd, R id)
    {
        const R x = fold8_to4(fold16(ra, ia), fold16(rb, ib));
        const R y = fold8_to4(fold16(rc, ic), fold16(rd, id));
        R w = Isa::add(_mm512_maskz_shuffle_ps(0xFFFF, x, y, 0x44), _mm512_maskz_shuffle_ps(0xFFFF, x, y, 0xEE));
        w = Isa::add(_mm512_maskz_shuffle_ps(0xFFFF, w, w, 0x88), _mm512_maskz_shuffle_ps(0xFFFF, w, w, 0xDD));
        const __m512i idx = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 0, 4, 8, 12, 1, 5, 9, 13);
        const R z = _mm512_maskz_permutexvar_ps(0xFFFF, idx, w);
        const __m128 lo = _mm512_maskz_extractf32x4_ps(0xF, z, 0), hi = _mm512_maskz_extractf32x4_ps(0xF, z, 1);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), lo);
        _mm_storeh_pi(reinterpret_cast<__m64 *>(o + s), lo);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o + 2 * s), hi);
        _mm_storeh_pi(reinterpret_cast<__m64 *>(o + 3 * s), hi);
    }
    static void store1(cf32_t *o, R ra, R ia)
    {
        const R a = fold16(ra, ia);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), gather(fold8(a, a)));
    }
};

}  // namespace

#include "presamp_body.inc"

namespace {

// 16 samples at a time: one permute of the pair of registers gathers their
// real parts in reverse order, another the imaginary parts.
void _push(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    const __m512i pick_re = _mm512_setr_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i pick_im = _mm512_setr_epi32(31, 29, 27, 25, 23, 21, 19, 17, 15, 13, 11, 9, 7, 5, 3, 1);
    const float *s = reinterpret_cast<const float *>(src);
    size_t k = 0;
    // src is read forwards (the prefetchers follow it), the slots filled backwards.
    for (; k + 16 <= len; k += 16) {
        const __m512 lo = _mm512_loadu_ps(s + 2 * k), hi = _mm512_loadu_ps(s + 2 * k + 16);
        const __m512 r = _mm512_maskz_permutex2var_ps(0xFFFF, lo, pick_re, hi);
        const __m512 i = _mm512_maskz_permutex2var_ps(0xFFFF, lo, pick_im, hi);
        const size_t at = len - 16 - k;
        _mm512_storeu_ps(re + at, r);
        _mm512_storeu_ps(re + at + L, r);
        _mm512_storeu_ps(im + at, i);
        _mm512_storeu_ps(im + at + L, i);
    }
    for (; k < len; ++k) {
        re[len - 1 - k] = re[len - 1 - k + L] = src[k].re;
        im[len - 1 - k] = im[len - 1 - k + L] = src[k].im;
    }
}

}  // namespace

const presamp_kernels presamp_kernels_avx512 = {_dot, _push};
