// AVX-512 block kernels of the half-band decimators.
//
// Sixteen consecutive real-to-complex outputs (eight complex-stage outputs,
// real and imaginary parts in adjacent lanes sharing a coefficient) per
// register; the arithmetic is the scalar kernel's, lane by lane
// (hbdecim_simd.inc). Compiled for AVX-512 F/VL/BW/DQ and called only when
// the CPU has them.
#if defined(__x86_64__)

#include "hbdecim_kernels.h"
#include "simd.h"

#include <immintrin.h>

namespace {

struct V {
    using reg = __m512;
    static constexpr int kLevel = DDC_SIMD_AVX512;
    static constexpr size_t W = 16;
    static constexpr size_t U = 4;
    static constexpr bool kShift = true;
    static constexpr int kShiftRegs = 4;
    // The 16 floats starting J before q[0], q[i] being the block 16*i floats before q[0].
    template <int J> static reg shifted(const reg *q) noexcept
    {
        constexpr int i = (J + 15) / 16;
        static_assert(i >= 1 && i < kShiftRegs, "shift out of range");
        if constexpr (16 * i == J)
            return q[i];
        else
            // The all-lanes masked form: the unmasked one trips a false
            // uninitialised-value warning in some compilers' headers.
            return _mm512_castsi512_ps(_mm512_mask_alignr_epi32(
                _mm512_castps_si512(q[i]), 0xFFFF, _mm512_castps_si512(q[i - 1]),
                _mm512_castps_si512(q[i]), 16 * i - J));
    }
    static reg zero() noexcept { return _mm512_setzero_ps(); }
    static reg set1(float v) noexcept { return _mm512_set1_ps(v); }
    static reg load(const float *p) noexcept { return _mm512_loadu_ps(p); }
    static void store(float *p, reg v) noexcept { _mm512_storeu_ps(p, v); }
    static reg add(reg a, reg b) noexcept { return _mm512_add_ps(a, b); }
    static reg sub(reg a, reg b) noexcept { return _mm512_sub_ps(a, b); }
    static reg mul(reg a, reg b) noexcept { return _mm512_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) noexcept { return _mm512_fmadd_ps(a, b, c); }
    static reg xor_(reg a, reg b) noexcept { return _mm512_xor_ps(a, b); }
    static reg alt_sign(uint32_t parity) noexcept
    {
        const int n = static_cast<int>(0x80000000u);
        const __m512i odd = _mm512_setr_epi32(0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n);
        const __m512i even = _mm512_setr_epi32(n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0);
        return _mm512_castsi512_ps(parity ? even : odd);
    }
    // x: 16 pairs (32 floats) -> a: 16 first samples, b: 16 second samples.
    static void deint_r(const float *x, float *a, float *b) noexcept
    {
        const __m512 v0 = _mm512_loadu_ps(x);
        const __m512 v1 = _mm512_loadu_ps(x + 16);
        const __m512i ev = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i od = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        _mm512_storeu_ps(a, _mm512_permutex2var_ps(v0, ev, v1));
        _mm512_storeu_ps(b, _mm512_permutex2var_ps(v0, od, v1));
    }
    // x: 8 complex pairs -> a: 8 first samples, b: 8 second samples.
    static void deint_c(const cf32_t *x, cf32_t *a, cf32_t *b) noexcept
    {
        const __m512d v0 = _mm512_loadu_pd(reinterpret_cast<const double *>(x));
        const __m512d v1 = _mm512_loadu_pd(reinterpret_cast<const double *>(x + 8));
        const __m512i ev = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
        const __m512i od = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
        _mm512_storeu_pd(reinterpret_cast<double *>(a), _mm512_permutex2var_pd(v0, ev, v1));
        _mm512_storeu_pd(reinterpret_cast<double *>(b), _mm512_permutex2var_pd(v0, od, v1));
    }
    static void store_cplx(cf32_t *y, reg re, reg im) noexcept
    {
        const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const __m512i second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        _mm512_storeu_ps(&y[0].re, _mm512_permutex2var_ps(re, first, im));
        _mm512_storeu_ps(&y[8].re, _mm512_permutex2var_ps(re, second, im));
    }
};

} // namespace

#include "hbdecim_simd.inc"

#endif
