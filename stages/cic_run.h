/*
 * Library-internal: the CIC kernel loop shared by the vector variants.
 *
 * A chunk of inputs is quantised and lifted in one vector pass (_quantise on
 * the target's vector traits) into a buffer of (I, Q) integer pairs. The integrator cascade then
 * runs on both channels at once, one 64-bit lane each, straight up to the next
 * output without testing the counter per sample; the comb section also works
 * on both channels together, its delays held in registers for the call. All of it is unsigned 64-bit arithmetic modulo
 * 2^64 in the scalar kernel's order, so every integer matches it exactly.
 * Included by one kernel file per target.
 */
#ifndef DDC_STAGES_CIC_RUN_H
#define DDC_STAGES_CIC_RUN_H

#include <immintrin.h>

#include "cic_simd.h"

namespace {

constexpr size_t kCicChunk = 512;  // samples quantised per pass

// The scalar quantiser's exact steps on V::W components at once: x * 32768 in
// float32, NaN to zero, clamp to [-32768, 32767], truncate toward zero, lift
// by 32768. V provides reg, ireg, W, load, load_first(p, n) (the first n < W
// floats, the other lanes zero), store (aligned), set1, mul, nan_to_zero,
// min, max and trunc_lift (truncation to int32 plus 0x8000).
template <class V>
inline typename V::ireg _lift(typename V::reg x)
{
    typename V::reg v = V::mul(x, V::set1(32768.0f));
    v = V::nan_to_zero(v);
    v = V::min(v, V::set1(32767.0f));
    v = V::max(v, V::set1(-32768.0f));
    return V::trunc_lift(v);
}

// Writes the 2m lifted values (re, im of each sample) of in to u.
template <class V>
void _quantise(const cf32_t *in, size_t m, uint32_t *u)
{
    const float *x = reinterpret_cast<const float *>(in);
    const size_t nf = 2 * m;
    size_t k = 0;
    for (; k + V::W <= nf; k += V::W)
        V::store(u + k, _lift<V>(V::load(x + k)));
    if (k < nf)  // tail: lanes past the end are never read back
        V::store(u + k, _lift<V>(V::load_first(x + k, nf - k)));
}

// The whole kernel on the vector traits V of one target (see _quantise).
template <class V>
size_t _cic_run(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out)
{
    alignas(64) uint32_t u[2 * kCicChunk + 16];  // room for the last register's lanes past 2m
    __m128i I1 = _mm_set_epi64x(static_cast<long long>(v->integ_q[0]), static_cast<long long>(v->integ_i[0]));
    __m128i I2 = _mm_set_epi64x(static_cast<long long>(v->integ_q[1]), static_cast<long long>(v->integ_i[1]));
    __m128i I3 = _mm_set_epi64x(static_cast<long long>(v->integ_q[2]), static_cast<long long>(v->integ_i[2]));
    __m128i I4 = _mm_set_epi64x(static_cast<long long>(v->integ_q[3]), static_cast<long long>(v->integ_i[3]));
    __m128i D[4];  // comb delays, (I, Q) pairs
    for (int k = 0; k < 4; ++k)
        D[k] = _mm_set_epi64x(static_cast<long long>(v->comb_q[k]), static_cast<long long>(v->comb_i[k]));
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(v->shift));
    const __m128i low16 = _mm_set1_epi64x(0xFFFF);
    const __m128 scale = _mm_set1_ps(0x1p-15f), minus1 = _mm_set1_ps(-1.0f);
    const uint32_t ratio = v->ratio;
    uint32_t counter = v->counter;
    size_t written = 0;
    for (size_t c0 = 0; c0 < n; c0 += kCicChunk) {
        const size_t m = n - c0 < kCicChunk ? n - c0 : kCicChunk;
        _quantise<V>(in + c0, m, u);
        size_t j = 0;
        while (j < m) {
            // Inputs up to and including the next output (the scalar test is ++counter >= ratio).
            const size_t due = counter < ratio ? ratio - counter : 1;
            const size_t run = m - j < due ? m - j : due;
            const uint32_t *p = u + 2 * j;
            for (size_t k = 0; k < run; ++k) {
                const __m128i x = _mm_cvtepu32_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 2 * k)));
                I1 = _mm_add_epi64(I1, x);
                I2 = _mm_add_epi64(I2, I1);
                I3 = _mm_add_epi64(I3, I2);
                I4 = _mm_add_epi64(I4, I3);
            }
            j += run;
            counter += static_cast<uint32_t>(run);
            if (counter >= ratio) {
                counter = 0;
                __m128i d = I4;
                for (int k = 0; k < 4; ++k) {  // d_{k+1} = d_k - D_{k+1}, then D_{k+1} = d_k
                    const __m128i t = _mm_sub_epi64(d, D[k]);
                    D[k] = d;
                    d = t;
                }
                const __m128i w = _mm_and_si128(_mm_srl_epi64(d, count), low16);
                const __m128 wf = _mm_cvtepi32_ps(_mm_shuffle_epi32(w, _MM_SHUFFLE(3, 3, 2, 0)));
                const __m128 y = _mm_fmadd_ps(wf, scale, minus1);  // w / 32768 - 1, exact
                _mm_storel_epi64(reinterpret_cast<__m128i *>(out + written), _mm_castps_si128(y));
                ++written;
            }
        }
    }
    v->integ_i[0] = static_cast<uint64_t>(_mm_cvtsi128_si64(I1));
    v->integ_q[0] = static_cast<uint64_t>(_mm_extract_epi64(I1, 1));
    v->integ_i[1] = static_cast<uint64_t>(_mm_cvtsi128_si64(I2));
    v->integ_q[1] = static_cast<uint64_t>(_mm_extract_epi64(I2, 1));
    v->integ_i[2] = static_cast<uint64_t>(_mm_cvtsi128_si64(I3));
    v->integ_q[2] = static_cast<uint64_t>(_mm_extract_epi64(I3, 1));
    v->integ_i[3] = static_cast<uint64_t>(_mm_cvtsi128_si64(I4));
    v->integ_q[3] = static_cast<uint64_t>(_mm_extract_epi64(I4, 1));
    for (int k = 0; k < 4; ++k) {
        v->comb_i[k] = static_cast<uint64_t>(_mm_cvtsi128_si64(D[k]));
        v->comb_q[k] = static_cast<uint64_t>(_mm_extract_epi64(D[k], 1));
    }
    v->counter = counter;
    return written;
}

}  // namespace

#endif
