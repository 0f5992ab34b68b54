/*
 * Designed resampler kernels for AVX2 with FMA, compiled for that target only
 * and called only when the CPU has it; the loops are those of
 * presamp_simd.inc with the 16 lane sums of a part in two registers (lanes
 * 0-7 and 8-15), so their add is a[j] + a[j + 8].
 *
 * Folding two outputs: re and im of an output are regrouped in 128-bit halves
 * for a[j] + a[j + 4], then the two outputs share a register for
 * a[j] + a[j + 2] and a[0] + a[1], re in the low half, im in the high half.
 * Every add keeps the lower lane as its first operand, as the scalar loop.
 */
#include "presamp_simd.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

// a*b + c in the form of the scalar fmaf (vfmadd213): when several operands are
// NaN the result is the first of a, b, c, as in the scalar path.
inline __m256 _fma_abc(__m256 a, __m256 b, __m256 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+v"(a) : "v"(b), "v"(c));
    return a;
}

// a + b in source order: when both are NaN the result is a.
inline __m256 _add_ab(__m256 a, __m256 b)
{
    __asm__("vaddps %1, %0, %0" : "+v"(a) : "v"(b));
    return a;
}

struct V {
    struct R {
        __m256 lo, hi;
    };
    static R zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
    static R load(const float *p) { return {_mm256_load_ps(p), _mm256_load_ps(p + 8)}; }
    static R loadu(const float *p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
    static R set1(float v) { return {_mm256_set1_ps(v), _mm256_set1_ps(v)}; }
    static R fma(R a, R b, R c) { return {_fma_abc(a.lo, b.lo, c.lo), _fma_abc(a.hi, b.hi, c.hi)}; }

    // (re[0..3] + re[4..7] | im[0..3] + im[4..7]) of the 8-lane sums.
    static __m256 fold16(R re, R im)
    {
        const __m256 r = _add_ab(re.lo, re.hi), i = _add_ab(im.lo, im.hi);
        return _add_ab(_mm256_permute2f128_ps(r, i, 0x20), _mm256_permute2f128_ps(r, i, 0x31));
    }
    // (re a, re b, .. | im a, im b, ..) of two 4-lane sums.
    static __m256 fold4(__m256 a, __m256 b)
    {
        const __m256 w = _add_ab(_mm256_shuffle_ps(a, b, 0x44), _mm256_shuffle_ps(a, b, 0xEE));
        return _add_ab(_mm256_shuffle_ps(w, w, 0x88), _mm256_shuffle_ps(w, w, 0xDD));
    }
    static __m128 interleave(__m256 z)
    {
        return _mm_unpacklo_ps(_mm256_castps256_ps128(z), _mm256_extractf128_ps(z, 1));
    }
    static void store2(cf32_t *o, R ra, R ia, R rb, R ib)
    {
        _mm_storeu_ps(reinterpret_cast<float *>(o), interleave(fold4(fold16(ra, ia), fold16(rb, ib))));
    }
    static void store1(cf32_t *o, R ra, R ia)
    {
        const __m256 a = fold16(ra, ia);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), interleave(fold4(a, a)));
    }
};

}  // namespace

#include "presamp_simd.inc"

void _presamp_dot_avx2(const presamp_batch *b, const presamp_job *jobs, size_t n, cf32_t *out)
{
    _dot(b, jobs, n, out);
}

// 8 samples at a time: the in-lane shuffle leaves the real parts as
// 0 1 4 5 | 2 3 6 7, one cross-lane permute puts them in reverse order.
void _presamp_push_avx2(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    const __m256i reverse = _mm256_setr_epi32(7, 6, 3, 2, 5, 4, 1, 0);
    const float *s = reinterpret_cast<const float *>(src);
    size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        const float *b = s + 2 * (len - 8 - k);
        const __m256 v0 = _mm256_loadu_ps(b), v1 = _mm256_loadu_ps(b + 8);
        const __m256 r = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0x88), reverse);
        const __m256 i = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0xDD), reverse);
        _mm256_storeu_ps(re + k, r);
        _mm256_storeu_ps(re + k + L, r);
        _mm256_storeu_ps(im + k, i);
        _mm256_storeu_ps(im + k + L, i);
    }
    for (; k < len; ++k) {
        re[k] = re[k + L] = src[len - 1 - k].re;
        im[k] = im[k + L] = src[len - 1 - k].im;
    }
}

#endif
