/*
 * Designed resampler kernels for AVX-512 (F, VL, BW, DQ); the loops are those of
 * presamp_body.inc with the 16 lane sums of a part in two 256-bit registers
 * (lanes 0-7 and 8-15, the 32 registers hold four outputs), joined in one
 * 512-bit register by their first add.
 *
 * Folding: the add of the 256-bit halves of re and of im of an output is
 * a[j] + a[j + 8], the two results share a register, then two outputs share a
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
    // Lanes 0-7 and 8-15 in two 256-bit registers: on Zen 4 the same FMA
    // throughput as one 512-bit register, and a window at any float offset
    // crosses a cache line in one 32-byte half at most, in every 64-byte load.
    struct R {
        __m256 lo, hi;
    };
    static constexpr bool kFour = true;
    static constexpr size_t kShare = 4;
    static R zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
    static R load(const float *p) { return {_mm256_load_ps(p), _mm256_load_ps(p + 8)}; }
    static R loadu(const float *p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
    static R set1(float v) { return {_mm256_set1_ps(v), _mm256_set1_ps(v)}; }
    static R fma(R a, R b, R c) { return {_mm256_fmadd_ps(a.lo, b.lo, c.lo), _mm256_fmadd_ps(a.hi, b.hi, c.hi)}; }

    // (re[0..3] + re[4..7] | im[0..3] + im[4..7]) of the 8-lane sums.
    static __m256 fold16(R re, R im)
    {
        const __m256 r = _mm256_add_ps(re.lo, re.hi), i = _mm256_add_ps(im.lo, im.hi);
        return _mm256_add_ps(_mm256_permute2f128_ps(r, i, 0x20), _mm256_permute2f128_ps(r, i, 0x31));
    }
    // (re a, re b, .. | im a, im b, ..) of two 4-lane sums.
    static __m256 fold4(__m256 a, __m256 b)
    {
        const __m256 w = _mm256_add_ps(_mm256_shuffle_ps(a, b, 0x44), _mm256_shuffle_ps(a, b, 0xEE));
        return _mm256_add_ps(_mm256_shuffle_ps(w, w, 0x88), _mm256_shuffle_ps(w, w, 0xDD));
    }
    // (re a, im a, re b, im b)
    static __m128 pair(R ra, R ia, R rb, R ib)
    {
        const __m256 z = fold4(fold16(ra, ia), fold16(rb, ib));
        return _mm_unpacklo_ps(_mm256_castps256_ps128(z), _mm256_extractf128_ps(z, 1));
    }
    static void store2(cf32_t *o, R ra, R ia, R rb, R ib)
    {
        _mm_storeu_ps(reinterpret_cast<float *>(o), pair(ra, ia, rb, ib));
    }
    static void store4(cf32_t *o, R ra, R ia, R rb, R ib, R rc, R ic, R rd, R id)
    {
        store2(o, ra, ia, rb, ib);
        store2(o + 2, rc, ic, rd, id);
    }
    // The same into o[0], o[s], o[2 s], o[3 s].
    static void store4s(cf32_t *o, size_t s, R ra, R ia, R rb, R ib, R rc, R ic, R rd, R id)
    {
        const __m128 ab = pair(ra, ia, rb, ib), cd = pair(rc, ic, rd, id);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), ab);
        _mm_storeh_pi(reinterpret_cast<__m64 *>(o + s), ab);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o + 2 * s), cd);
        _mm_storeh_pi(reinterpret_cast<__m64 *>(o + 3 * s), cd);
    }
    static void store1(cf32_t *o, R ra, R ia)
    {
        const __m256 a = fold16(ra, ia), z = fold4(a, a);
        _mm_storel_pi(reinterpret_cast<__m64 *>(o), _mm_unpacklo_ps(_mm256_castps256_ps128(z), _mm256_extractf128_ps(z, 1)));
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
