/*
 * Resampler kernels for AVX2 with FMA, compiled for that target only and
 * called only when the CPU has it. Same structure as the AVX-512 kernels, on
 * 8-float registers:
 *
 * Decimating: the T accumulators and T-1 partial sums stay in registers over
 * the block, re/im interleaved, updated from the table of reversed, g-scaled,
 * doubled rows (the scalar path's own float32 products). At an output
 * S = acc + partial is formed in every lane and moved down one complex slot;
 * the slot above the last partial sum holds -0.0, which added to acc[T-1]
 * gives acc[T-1] bit for bit, so partial[T-2] = acc[T-1] exactly.
 *
 * Interpolating: the 16 lane sums of one output are four registers (complex
 * lanes 0-3, 4-7, 8-11, 12-15), combined in the scalar tree's order, then the
 * remaining taps one at a time on the re/im pair.
 */
#include "resamp_simd.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "resamp_window.h"

namespace {

// a*b + c in the form of the scalar fmaf (vfmadd213): when several operands are
// NaN the result is the first of a, b, c, as in the scalar path. The intrinsic
// leaves the form, and so the NaN chosen, to the compiler.
inline __m256 _fma_abc(__m256 a, __m256 b, __m256 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+x"(a) : "x"(b), "x"(c));
    return a;
}

inline __m128 _fma_abc(__m128 a, __m128 b, __m128 c)
{
    __asm__("vfmadd213ps %2, %1, %0" : "+x"(a) : "x"(b), "x"(c));
    return a;
}

// All-ones in the 32-bit lanes below count, counted from lane base.
inline __m256i _lanes8(size_t count, size_t base)
{
    const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const long long n = count > base ? static_cast<long long>(count - base) : 0;
    const int lim = n > 8 ? 8 : static_cast<int>(n);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(lim), idx);
}

inline __m256 _splat_pair(const cf32_t *p)
{
    return _mm256_castpd_ps(_mm256_broadcastsd_pd(_mm_castsi128_pd(_mm_loadu_si64(p))));
}

inline void _store_pair(cf32_t *p, __m128 v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(v));
}

// Slots 1..3 of lo followed by slot 0 of hi (a slot is one complex sample).
inline __m256 _down_one(__m256 lo, __m256 hi)
{
    const __m256d a = _mm256_permute4x64_pd(_mm256_castps_pd(lo), _MM_SHUFFLE(0, 3, 2, 1));
    const __m256d b = _mm256_permute4x64_pd(_mm256_castps_pd(hi), _MM_SHUFFLE(0, 0, 0, 0));
    return _mm256_castpd_ps(_mm256_blend_pd(a, b, 0x8));
}

template <int NV>
size_t _decimate(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    const size_t T = v->num_taps;
    float *accf = reinterpret_cast<float *>(v->acc);
    float *partf = reinterpret_cast<float *>(v->partial);
    const __m256 nz = _mm256_set1_ps(-0.0f);
    __m256i am[NV], pm[NV];
    __m256 acc[NV], pe[NV];
    for (int k = 0; k < NV; ++k) {
        am[k] = _lanes8(2 * T, 8 * k);
        pm[k] = _lanes8(2 * (T - 1), 8 * k);
        acc[k] = _mm256_maskload_ps(accf + 8 * k, am[k]);
        pe[k] = _mm256_blendv_ps(nz, _mm256_maskload_ps(partf + 8 * k, pm[k]), _mm256_castsi256_ps(pm[k]));
    }
    const float *tab = v->wtab;
    const size_t stride = v->stride;
    const unsigned shift = v->shift;
    const uint32_t step = v->step;
    uint32_t phase = v->phase;
    size_t n = 0;
    for (size_t i = 0; i < n_in; ++i) {
        const float *w = tab + static_cast<size_t>(phase >> shift) * stride;
        const __m256 x = _splat_pair(in + i);
        for (int k = 0; k < NV; ++k) acc[k] = _fma_abc(_mm256_load_ps(w + 8 * k), x, acc[k]);
        const uint32_t next = phase + step;
        const bool carry = next < phase;  // an output period ended
        phase = next;
        if (carry) {
            __m256 s[NV];
            for (int k = 0; k < NV; ++k) s[k] = _mm256_add_ps(acc[k], pe[k]);
            _store_pair(out + n, _mm256_castps256_ps128(s[0]));
            for (int k = 0; k < NV; ++k) {
                const __m256 d = _down_one(s[k], k + 1 < NV ? s[k + 1] : nz);
                pe[k] = _mm256_blendv_ps(nz, d, _mm256_castsi256_ps(pm[k]));
                acc[k] = _mm256_setzero_ps();
            }
            if (++n == cap) break;
        }
    }
    for (int k = 0; k < NV; ++k) {
        _mm256_maskstore_ps(accf + 8 * k, am[k], acc[k]);
        _mm256_maskstore_ps(partf + 8 * k, pm[k], pe[k]);
    }
    v->phase = phase;
    return n;
}

// One output: 16 lane sums over the first 16*floor(T/16) taps combined in the
// scalar tree's order, then the remaining taps one by one; xw is newest first.
inline void _dot(const float *c, const cf32_t *xw, size_t T, cf32_t *dst)
{
    // Taps 0-3 (4-7) of an 8-tap load into both floats of complex lanes 0-3.
    const __m256i dup_lo = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i dup_hi = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    const size_t body = T & ~size_t{15};
    const float *x = reinterpret_cast<const float *>(xw);
    __m128 y = _mm_setzero_ps();
    if (body) {
        __m256 l0 = _mm256_setzero_ps(), l1 = l0, l2 = l0, l3 = l0;
        for (size_t k = 0; k < body; k += 16) {
            const __m256 ca = _mm256_loadu_ps(c + k), cb = _mm256_loadu_ps(c + k + 8);
            const float *xk = x + 2 * k;
            l0 = _fma_abc(_mm256_permutevar8x32_ps(ca, dup_lo), _mm256_loadu_ps(xk), l0);
            l1 = _fma_abc(_mm256_permutevar8x32_ps(ca, dup_hi), _mm256_loadu_ps(xk + 8), l1);
            l2 = _fma_abc(_mm256_permutevar8x32_ps(cb, dup_lo), _mm256_loadu_ps(xk + 16), l2);
            l3 = _fma_abc(_mm256_permutevar8x32_ps(cb, dup_hi), _mm256_loadu_ps(xk + 24), l3);
        }
        // q[l] = (p[4+l] + p[l]) + (p[8+l] + p[12+l]), then (q0 + q1) + (q2 + q3).
        const __m256 q = _mm256_add_ps(_mm256_add_ps(l1, l0), _mm256_add_ps(l2, l3));
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

size_t _resamp_decimate_avx2(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    switch ((v->num_taps + 3) / 4) {
    case 1: return _decimate<1>(v, in, n_in, out, cap);
    case 2: return _decimate<2>(v, in, n_in, out, cap);
    case 3: return _decimate<3>(v, in, n_in, out, cap);
    case 4: return _decimate<4>(v, in, n_in, out, cap);
    case 5: return _decimate<5>(v, in, n_in, out, cap);
    case 6: return _decimate<6>(v, in, n_in, out, cap);
    case 7: return _decimate<7>(v, in, n_in, out, cap);
    default: return _decimate<8>(v, in, n_in, out, cap);
    }
}

size_t _resamp_interpolate_avx2(resamp_interp_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
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
