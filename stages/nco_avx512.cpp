// AVX-512 (F, VL, BW, DQ) fine-oscillator kernel: nco_avx2.cpp's scheme on
// 16-float registers, sixteen samples per step. The in-lane split of two
// registers of eight pairs leaves the samples in the lane order
// 0 1 8 9 2 3 10 11 4 5 12 13 6 7 14 15, which unpacklo/unpackhi undo. The
// tail runs under 16-bit lane masks.
//
// GCC 12 leaves the source of the unmasked forms of some intrinsics undefined
// and then warns about it where they are inlined; the all-lanes zero-masked
// forms used instead compute the same values with a defined source.
#include "isa_avx512.h"

namespace {

constexpr __mmask16 kAll = 0xFFFF;

inline __m512 _even(__m512 a, __m512 b) noexcept { return _mm512_maskz_shuffle_ps(kAll, a, b, 0x88); }
inline __m512 _odd(__m512 a, __m512 b) noexcept { return _mm512_maskz_shuffle_ps(kAll, a, b, 0xDD); }

// Oscillator of the sixteen samples from scalar phase q0 (vector phases p, in
// the lane order above), as cos-part and sin-part vectors.
inline void _osc16(const double *tab, uint32_t q0, uint32_t inc, __m512i p, const Nco &k, __m512 &re,
                   __m512 &im) noexcept
{
    const __m512 a = Nco::pairs8(tab, q0, inc);
    const __m512 b = Nco::pairs8(tab, q0 + (inc << 3), inc);
    k.osc(_even(a, b), _odd(a, b), p, re, im);
}

inline void _mix16(__m512 xa, __m512 xb, const Nco &k, __m512 &re, __m512 &im) noexcept
{
    k.mix(_even(xa, xb), _odd(xa, xb), re, im);
}

template <bool Mix>
void _run(const cf32_t *tab_pairs, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n,
          cf32_t *out) noexcept
{
    const Nco k;
    const double *tab = reinterpret_cast<const double *>(tab_pairs);
    const __m512i vinc = _mm512_set1_epi32(static_cast<int>(inc));
    const __m512i order = _mm512_setr_epi32(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    __m512i p = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(phase)),
                                 _mm512_maskz_mullo_epi32(kAll, vinc, order));
    const __m512i step = _mm512_maskz_slli_epi32(kAll, vinc, 4);
    const uint32_t qstep = inc << 4;
    float *o = &out->re;
    const float *xf = Mix ? &x->re : nullptr;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m512 re, im;
        _osc16(tab, phase, inc, p, k, re, im);
        if constexpr (Mix)
            _mix16(_mm512_loadu_ps(xf + 2 * i), _mm512_loadu_ps(xf + 2 * i + 16), k, re, im);
        _mm512_storeu_ps(o + 2 * i, _mm512_maskz_unpacklo_ps(kAll, re, im));
        _mm512_storeu_ps(o + 2 * i + 16, _mm512_maskz_unpackhi_ps(kAll, re, im));
        p = _mm512_add_epi32(p, step);
        phase += qstep;
    }
    if (i < n) {
        // 1 to 15 samples: all sixteen lanes computed, loads and stores masked.
        const size_t rest = n - i;
        const __mmask16 ma = rest >= 8 ? kAll : static_cast<__mmask16>((1u << (2 * rest)) - 1);
        const __mmask16 mb = rest > 8 ? static_cast<__mmask16>((1u << (2 * (rest - 8))) - 1) : 0;
        __m512 re, im;
        _osc16(tab, phase, inc, p, k, re, im);
        if constexpr (Mix)
            _mix16(_mm512_maskz_loadu_ps(ma, xf + 2 * i), _mm512_maskz_loadu_ps(mb, xf + 2 * i + 16), k, re, im);
        _mm512_mask_storeu_ps(o + 2 * i, ma, _mm512_maskz_unpacklo_ps(kAll, re, im));
        _mm512_mask_storeu_ps(o + 2 * i + 16, mb, _mm512_maskz_unpackhi_ps(kAll, re, im));
    }
}

void _entry(const cf32_t *tab, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    if (x)
        _run<true>(tab, phase, inc, x, n, out);
    else
        _run<false>(tab, phase, inc, x, n, out);
}

} // namespace

const nco_kernels nco_kernels_avx512 = {_entry};
