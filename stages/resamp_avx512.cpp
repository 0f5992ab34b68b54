/*
 * Resampler kernels for AVX-512 (F, VL, BW, DQ), compiled for that target only
 * and called only when the CPU has it.
 *
 * Decimating: the T complex accumulators and the T-1 partial sums live in
 * registers for the whole block, interleaved re/im so one fused multiply-add
 * updates eight accumulators at once. The taps come from a table holding each
 * row reversed, multiplied by g and doubled for re/im: the same float32
 * products the scalar path forms per input. At an output the partial-sum chain
 * moves down one accumulator: S = acc + partial is formed in every lane at
 * once and shifted by one complex slot; the top slot holds -0.0, the one value
 * that leaves acc[T-1] unchanged bit for bit when added, so that slot gives
 * partial[T-2] = acc[T-1] exactly.
 *
 * Interpolating: the 16 lane sums of one output sit in two registers (lanes
 * 0-7 and 8-15, re/im interleaved), combined in the scalar tree's order, then
 * the remaining taps one at a time on the re/im pair.
 */
#include "resamp_simd.h"

#if defined(__x86_64__)

// GCC 12 warns about the undefined source operand inside its own AVX-512 intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include "resamp_window.h"

namespace {

// a*b + c in the form of the scalar fmaf (vfmadd213): when several operands are
// NaN the result is the first of a, b, c, as in the scalar path. The intrinsic
// leaves the form, and so the NaN chosen, to the compiler.
inline __m512 _fma_abc(__m512 a, __m512 b, __m512 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+v"(a) : "v"(b), "v"(c));
    return a;
}

inline __m128 _fma_abc(__m128 a, __m128 b, __m128 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+v"(a) : "v"(b), "v"(c));
    return a;
}

// Mask of the lanes below count, counted from lane base, for 16-lane vectors.
inline __mmask16 _lanes16(size_t count, size_t base)
{
    if (count <= base) return 0;
    const size_t n = count - base;
    return n >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << n) - 1);
}

// Both floats of one complex sample in every 64-bit slot.
inline __m512 _splat_pair(const cf32_t *p)
{
    return _mm512_castpd_ps(_mm512_broadcastsd_pd(_mm_castsi128_pd(_mm_loadu_si64(p))));
}

inline void _store_pair(cf32_t *p, __m128 v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(v));
}

template <int NV>
size_t _decimate(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    const size_t T = v->num_taps;
    float *accf = reinterpret_cast<float *>(v->acc);
    float *partf = reinterpret_cast<float *>(v->partial);
    const __m512 nz = _mm512_set1_ps(-0.0f);
    __mmask16 am[NV], pm[NV];
    __m512 acc[NV], pe[NV];
    for (int k = 0; k < NV; ++k) {
        am[k] = _lanes16(2 * T, 16 * k);
        pm[k] = _lanes16(2 * (T - 1), 16 * k);
        acc[k] = _mm512_maskz_loadu_ps(am[k], accf + 16 * k);
        pe[k] = _mm512_mask_loadu_ps(nz, pm[k], partf + 16 * k);
    }
    const float *tab = v->wtab;
    const size_t stride = v->stride;
    const unsigned shift = v->shift;
    const uint32_t step = v->step;
    uint32_t phase = v->phase;
    size_t n = 0;
    for (size_t i = 0; i < n_in; ++i) {
        const float *w = tab + static_cast<size_t>(phase >> shift) * stride;
        const __m512 x = _splat_pair(in + i);
        for (int k = 0; k < NV; ++k) acc[k] = _fma_abc(_mm512_load_ps(w + 16 * k), x, acc[k]);
        const uint32_t next = phase + step;
        const bool carry = next < phase;  // an output period ended
        phase = next;
        if (carry) {
            __m512 s[NV];
            for (int k = 0; k < NV; ++k) s[k] = _mm512_add_ps(acc[k], pe[k]);
            _store_pair(out + n, _mm512_castps512_ps128(s[0]));
            for (int k = 0; k < NV; ++k) {
                const __m512 hi = k + 1 < NV ? s[k + 1] : nz;
                const __m512i d = _mm512_mask_alignr_epi32(_mm512_castps_si512(nz), pm[k], _mm512_castps_si512(hi),
                                                           _mm512_castps_si512(s[k]), 2);
                pe[k] = _mm512_castsi512_ps(d);
                acc[k] = _mm512_setzero_ps();
            }
            if (++n == cap) break;
        }
    }
    for (int k = 0; k < NV; ++k) {
        _mm512_mask_storeu_ps(accf + 16 * k, am[k], acc[k]);
        _mm512_mask_storeu_ps(partf + 16 * k, pm[k], pe[k]);
    }
    v->phase = phase;
    return n;
}

// One output: 16 lane sums over the first 16*floor(T/16) taps combined in the
// scalar tree's order, then the remaining taps one by one; xw is newest first.
inline void _dot(const float *c, const cf32_t *xw, size_t T, cf32_t *dst)
{
    // Tap l of a group of 16 into both floats of complex lane l.
    const __m512i dup_lo = _mm512_set_epi32(7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0);
    const __m512i dup_hi = _mm512_set_epi32(15, 15, 14, 14, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8);
    const size_t body = T & ~size_t{15};
    const float *x = reinterpret_cast<const float *>(xw);
    __m128 y = _mm_setzero_ps();
    if (body) {
        __m512 l0 = _mm512_setzero_ps(), l1 = _mm512_setzero_ps();
        for (size_t k = 0; k < body; k += 16) {
            const __m512 c16 = _mm512_loadu_ps(c + k);
            l0 = _fma_abc(_mm512_permutexvar_ps(dup_lo, c16), _mm512_loadu_ps(x + 2 * k), l0);
            l1 = _fma_abc(_mm512_permutexvar_ps(dup_hi, c16), _mm512_loadu_ps(x + 2 * k + 16), l1);
        }
        // q[l] = (p[4+l] + p[l]) + (p[8+l] + p[12+l]), then (q0 + q1) + (q2 + q3).
        const __m256 a = _mm256_add_ps(_mm512_extractf32x8_ps(l0, 1), _mm512_castps512_ps256(l0));
        const __m256 b = _mm256_add_ps(_mm512_castps512_ps256(l1), _mm512_extractf32x8_ps(l1, 1));
        const __m256 q = _mm256_add_ps(a, b);
        const __m128 q01 = _mm256_castps256_ps128(q), q23 = _mm256_extractf128_ps(q, 1);
        y = _mm_add_ps(_mm_add_ps(q01, _mm_movehl_ps(q01, q01)), _mm_add_ps(q23, _mm_movehl_ps(q23, q23)));
    }
    for (size_t k = body; k < T; ++k) {
        const __m128 xk = _mm_castsi128_ps(_mm_loadu_si64(x + 2 * k));
        y = _fma_abc(_mm_set1_ps(c[k]), xk, y);
    }
    _store_pair(dst, y);
}

}  // namespace

size_t _resamp_decimate_avx512(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    switch ((v->num_taps + 7) / 8) {
    case 1: return _decimate<1>(v, in, n_in, out, cap);
    case 2: return _decimate<2>(v, in, n_in, out, cap);
    case 3: return _decimate<3>(v, in, n_in, out, cap);
    default: return _decimate<4>(v, in, n_in, out, cap);
    }
}

size_t _resamp_interpolate_avx512(resamp_interp_view *v, const cf32_t *in, size_t n_in, cf32_t *out,
                                  size_t cap)
{
    if (_window_fits(v)) return _interpolate_window(v, in, n_in, out, cap, _dot);
    // Rings beyond the window buffer: push into the ring per input.
    const size_t T = v->num_taps;
    const unsigned shift = v->shift;
    const uint32_t step = v->step;
    const size_t R = v->history_size, mask = v->history_mask;
    cf32_t *hist = v->history;
    size_t pos = v->history_pos;
    uint32_t phase = v->phase;
    size_t i = 0, n = 0;
    do {
        _dot(v->bank + static_cast<size_t>(phase >> shift) * T, hist + pos, T, out + n++);
        const uint32_t next = phase + step;
        if (next < phase) {  // carry: an input period ended
            pos = (pos - 1) & mask;
            hist[pos] = in[i];
            hist[pos + R] = in[i];
            ++i;
        }
        phase = next;
    } while (i < n_in && n < cap);
    v->phase = phase;
    v->history_pos = pos;
    return n;
}

#endif
