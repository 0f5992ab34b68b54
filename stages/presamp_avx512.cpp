/*
 * Designed resampler kernels for AVX-512 (F, VL, BW, DQ), compiled for that
 * target only and called only when the CPU has it; the loops are those of
 * presamp_simd.inc with the 16 lane sums of a part in one register.
 *
 * Folding two outputs: the 256-bit halves of re and im of an output are
 * regrouped so that one add gives a[j] + a[j + 8] for both parts, then the
 * two outputs share registers: 128-bit blocks (re a, im a, re b, im b) for
 * a[j] + a[j + 4], and in-block permutes for a[j] + a[j + 2] and a[0] + a[1].
 * Every add keeps the lower lane as its first operand, as the scalar loop.
 *
 * GCC 12 leaves the source of the unmasked forms of some intrinsics undefined
 * and then warns about it where they are inlined; the all-lanes zero-masked
 * forms used instead compute the same values with a defined source.
 */
#include "presamp_simd.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

// a*b + c in the form of the scalar fmaf (vfmadd213): when several operands are
// NaN the result is the first of a, b, c, as in the scalar path.
inline __m512 _fma_abc(__m512 a, __m512 b, __m512 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+v"(a) : "v"(b), "v"(c));
    return a;
}

// a + b in source order: when both are NaN the result is a.
inline __m512 _add_ab(__m512 a, __m512 b)
{
    __asm__("vaddps %1, %0, %0" : "+v"(a) : "v"(b));
    return a;
}

struct V {
    using R = __m512;
    static R zero() { return _mm512_setzero_ps(); }
    static R load(const float *p) { return _mm512_load_ps(p); }
    static R loadu(const float *p) { return _mm512_loadu_ps(p); }
    static R set1(float v) { return _mm512_set1_ps(v); }
    static R fma(R a, R b, R c) { return _fma_abc(a, b, c); }

    // (re[0..7] + re[8..15] | im[0..7] + im[8..15])
    static R fold16(R re, R im)
    {
        const R lo = _mm512_maskz_shuffle_f32x4(0xFFFF, re, im, 0x44);  // re b0 b1, im b0 b1
        const R hi = _mm512_maskz_shuffle_f32x4(0xFFFF, re, im, 0xEE);  // re b2 b3, im b2 b3
        return _add_ab(lo, hi);
    }
    // Blocks (re a, im a, re b, im b) of 8-lane sums a and b, folded to lane 0 of each block.
    static R fold8(R a, R b)
    {
        const R lo = _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0x88);  // a b0 b2, b b0 b2
        const R hi = _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0xDD);  // a b1 b3, b b1 b3
        R w = _add_ab(lo, hi);
        w = _add_ab(w, _mm512_maskz_permute_ps(0xFFFF, w, 0x4E));  // lanes 2 3 0 1
        return _add_ab(w, _mm512_maskz_permute_ps(0xFFFF, w, 0xB1));  // lanes 1 0 3 2
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
    static void store1(cf32_t *o, R ra, R ia)
    {
        const R a = fold16(ra, ia);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), gather(fold8(a, a)));
    }
};

}  // namespace

#include "presamp_simd.inc"

void _presamp_dot_avx512(const presamp_batch *b, const presamp_job *jobs, size_t n, cf32_t *out)
{
    _dot(b, jobs, n, out);
}

// 16 samples at a time: one permute of the pair of registers gathers their
// real parts in reverse order, another the imaginary parts.
void _presamp_push_avx512(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    const __m512i pick_re = _mm512_setr_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i pick_im = _mm512_setr_epi32(31, 29, 27, 25, 23, 21, 19, 17, 15, 13, 11, 9, 7, 5, 3, 1);
    const float *s = reinterpret_cast<const float *>(src);
    size_t k = 0;
    for (; k + 16 <= len; k += 16) {
        const float *b = s + 2 * (len - 16 - k);
        const __m512 lo = _mm512_loadu_ps(b), hi = _mm512_loadu_ps(b + 16);
        const __m512 r = _mm512_maskz_permutex2var_ps(0xFFFF, lo, pick_re, hi);
        const __m512 i = _mm512_maskz_permutex2var_ps(0xFFFF, lo, pick_im, hi);
        _mm512_storeu_ps(re + k, r);
        _mm512_storeu_ps(re + k + L, r);
        _mm512_storeu_ps(im + k, i);
        _mm512_storeu_ps(im + k + L, i);
    }
    for (; k < len; ++k) {
        re[k] = re[k + L] = src[len - 1 - k].re;
        im[k] = im[k + L] = src[len - 1 - k].im;
    }
}

#endif
