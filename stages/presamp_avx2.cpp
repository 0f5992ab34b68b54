/*
 * Designed resampler kernels for AVX2 with FMA; the loops are those of
 * presamp_body.inc with the 16 lane sums of a part in two registers (lanes
 * 0-7 and 8-15), so their add is a[j] + a[j + 8].
 *
 * Folding two outputs: re and im of an output are regrouped in 128-bit halves
 * for a[j] + a[j + 4], then the two outputs share a register for
 * a[j] + a[j + 2] and a[0] + a[1], re in the low half, im in the high half.
 * Every add keeps the lower lane as its first operand, as the scalar loop.
 */
#include "isa_avx2.h"
#include "presamp_simd.h"

namespace {

struct V {
    struct R {
        __m256 lo, hi;
    };
    static constexpr bool kFour = false;  // 16 registers: two outputs at a time
    static constexpr size_t kShare = 3;  // four would not fit in 16 registers; three beat two
    static void store4(cf32_t *, R, R, R, R, R, R, R, R) {}
    static void store4s(cf32_t *, size_t, R, R, R, R, R, R, R, R) {}
    static R zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
    static R load(const float *p) { return {_mm256_load_ps(p), _mm256_load_ps(p + 8)}; }
    static R loadu(const float *p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
    static R set1(float v) { return {_mm256_set1_ps(v), _mm256_set1_ps(v)}; }
    static R fma(R a, R b, R c) { return {Isa::fmadd(a.lo, b.lo, c.lo), Isa::fmadd(a.hi, b.hi, c.hi)}; }

    // (re[0..3] + re[4..7] | im[0..3] + im[4..7]) of the 8-lane sums.
    static __m256 fold16(R re, R im)
    {
        const __m256 r = Isa::add(re.lo, re.hi), i = Isa::add(im.lo, im.hi);
        return Isa::add(_mm256_permute2f128_ps(r, i, 0x20), _mm256_permute2f128_ps(r, i, 0x31));
    }
    // (re a, re b, .. | im a, im b, ..) of two 4-lane sums.
    static __m256 fold4(__m256 a, __m256 b)
    {
        const __m256 w = Isa::add(_mm256_shuffle_ps(a, b, 0x44), _mm256_shuffle_ps(a, b, 0xEE));
        return Isa::add(_mm256_shuffle_ps(w, w, 0x88), _mm256_shuffle_ps(w, w, 0xDD));
    }
    static __m128 interleave(__m256 z)
    {
        return _mm_unpacklo_ps(_mm256_castps256_ps128(z), _mm256_extractf128_ps(z, 1));
    }
    static void store2(cf32_t *o, R ra, R ia, R rb, R ib)
    {
        _mm_storeu_ps(reinterpret_cast<float *>(o), interleave(fold4(fold16(ra, ia), fold16(rb, ib))));
    }
    static void store2s(cf32_t *o, size_t stride, R ra, R ia, R rb, R ib)
    {
        const __m128 v = interleave(fold4(fold16(ra, ia), fold16(rb, ib)));
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), v);
        _mm_storeh_pi(reinterpret_cast<__m64 *>(o + stride), v);
    }
    static void store1(cf32_t *o, R ra, R ia)
    {
        const __m256 a = fold16(ra, ia);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), interleave(fold4(a, a)));
    }
};

}  // namespace

#include "presamp_body.inc"

namespace {

// 8 samples at a time: the in-lane shuffle leaves the real parts as
// 0 1 4 5 | 2 3 6 7, one cross-lane permute puts them in reverse order.
void _push(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    const __m256i reverse = _mm256_setr_epi32(7, 6, 3, 2, 5, 4, 1, 0);
    const float *s = reinterpret_cast<const float *>(src);
    size_t k = 0;
    // src is read forwards (the prefetchers follow it), the slots filled backwards.
    for (; k + 8 <= len; k += 8) {
        const __m256 v0 = _mm256_loadu_ps(s + 2 * k), v1 = _mm256_loadu_ps(s + 2 * k + 8);
        const __m256 r = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0x88), reverse);
        const __m256 i = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(v0, v1, 0xDD), reverse);
        const size_t at = len - 8 - k;
        _mm256_storeu_ps(re + at, r);
        _mm256_storeu_ps(re + at + L, r);
        _mm256_storeu_ps(im + at, i);
        _mm256_storeu_ps(im + at + L, i);
    }
    for (; k < len; ++k) {
        re[len - 1 - k] = re[len - 1 - k + L] = src[k].re;
        im[len - 1 - k] = im[len - 1 - k + L] = src[k].im;
    }
}

}  // namespace

const presamp_kernels presamp_kernels_avx2 = {_dot, _push};
