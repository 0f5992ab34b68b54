// AVX-512 block kernels of the half-band decimators.
//
// Sixteen consecutive real-to-complex outputs (eight complex-stage outputs,
// real and imaginary parts in adjacent lanes sharing a coefficient) per
// register; the arithmetic is the scalar kernel's, lane by lane
// (hbdecim_body.inc).
#include "hbdecim_kernels.h"
#include "isa_avx512.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 4;
    static constexpr size_t UL = 3;
    // Measured: at 43 taps one output register at a time is faster here.
    static constexpr size_t kR2cLongFrom = 32;
    static constexpr bool kShift = true;
    static constexpr bool kLineCopy = false; // a register is a whole line
    static constexpr int kShiftRegs = 5;
    // The 16 floats starting J before q[0], q[i] being the block 16*i floats before q[0].
    template <int J> static reg shifted(const reg *q) noexcept
    {
        constexpr int i = (J + 15) / 16;
        static_assert(i >= 1 && i < kShiftRegs, "shift out of range");
        if constexpr (16 * i == J)
            return q[i];
        else
            return _mm512_castsi512_ps(_mm512_mask_alignr_epi32(
                _mm512_castps_si512(q[i]), 0xFFFF, _mm512_castps_si512(q[i - 1]),
                _mm512_castps_si512(q[i]), 16 * i - J));
    }
    static reg alt_sign(uint32_t parity) noexcept
    {
        const int n = static_cast<int>(0x80000000u);
        const __m512i odd = _mm512_setr_epi32(0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n);
        const __m512i even = _mm512_setr_epi32(n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0, n, 0);
        return _mm512_castsi512_ps(parity ? even : odd);
    }
    // Entries j, j+1 | j+4, j+5 | j+8, j+9 | j+12, j+13 of phases p + i*inc in
    // one register (j = 0 and 2), so one in-lane shuffle apiece splits them in order.
    template <int J>
    static __m512 four(const cf32_t *tab, uint32_t p, uint32_t inc) noexcept
    {
        const auto ph = [p, inc](uint32_t i) { return p + i * inc; };
        const __m256 lo = lo_entries(tab, ph(J), ph(J + 1), ph(J + 4), ph(J + 5));
        const __m256 hi = lo_entries(tab, ph(J + 8), ph(J + 9), ph(J + 12), ph(J + 13));
        return _mm512_castpd_ps(
            _mm512_maskz_insertf64x4(0xFF, _mm512_castpd256_pd512(_mm256_castps_pd(lo)), _mm256_castps_pd(hi), 1));
    }
    static void osc_split(const cf32_t *tab, uint32_t p, uint32_t inc, reg &c, reg &s) noexcept
    {
        const __m512 a = four<0>(tab, p, inc), b = four<2>(tab, p, inc);
        c = _mm512_shuffle_ps(a, b, 0x88);
        s = _mm512_shuffle_ps(a, b, 0xDD);
    }

    // 16 * steps inputs x times the fine oscillator from phase q (step inc),
    // even inputs to a, odd ones to b, by nco_avx512.cpp's lane operations.
    // Its table pairs are fetched evens first, so its split leaves the lanes
    // in the order 0 2 1 3 | 4 6 5 7 | ...: unpacklo then gives the evens,
    // unpackhi the odds, and the signal is split into the same order.
    static constexpr bool kNco = true;
    static void nco_deint(const cf32_t *x, size_t steps, cf32_t *a, cf32_t *b, const cf32_t *tab, uint32_t q,
                          uint32_t inc) noexcept
    {
        const Nco k;
        const double *t = reinterpret_cast<const double *>(tab);
        const __m512i vinc = _mm512_set1_epi32(static_cast<int>(inc));
        const __m512i order = _mm512_setr_epi32(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
        __m512i p = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(q)), _mm512_maskz_mullo_epi32(0xFFFF, vinc, order));
        const __m512i step = _mm512_maskz_slli_epi32(0xFFFF, vinc, 4);
        const __m512i ire = _mm512_setr_epi32(0, 4, 2, 6, 8, 12, 10, 14, 16, 20, 18, 22, 24, 28, 26, 30);
        const __m512i iim = _mm512_add_epi32(ire, _mm512_set1_epi32(1));
        const float *xf = &x->re;
        float *af = &a->re, *bf = &b->re;
        for (size_t s = 0; s < steps; ++s) {
            const __m512 ta = k.pairs8(t, q, 2 * inc), tb = k.pairs8(t, q + inc, 2 * inc);
            const __m512 tre = _mm512_maskz_shuffle_ps(0xFFFF, ta, tb, 0x88);
            const __m512 tim = _mm512_maskz_shuffle_ps(0xFFFF, ta, tb, 0xDD);
            __m512 re, im;
            k.osc(tre, tim, p, re, im);
            const __m512 xa = _mm512_loadu_ps(xf + 32 * s), xb = _mm512_loadu_ps(xf + 32 * s + 16);
            k.mix(_mm512_permutex2var_ps(xa, ire, xb), _mm512_permutex2var_ps(xa, iim, xb), re, im);
            _mm512_storeu_ps(af + 16 * s, _mm512_maskz_unpacklo_ps(0xFFFF, re, im));
            _mm512_storeu_ps(bf + 16 * s, _mm512_maskz_unpackhi_ps(0xFFFF, re, im));
            p = _mm512_add_epi32(p, step);
            q += inc << 4;
        }
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_avx512 = {_r2c_run, _c2c_run, V::kNco};
