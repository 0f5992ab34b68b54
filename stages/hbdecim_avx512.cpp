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
    // Entries 0, 1 | 4, 5 | 8, 9 | 12, 13 in one register and the others in a
    // second, so one in-lane shuffle apiece splits them in order.
    static __m512 four(const cf32_t *tab, const uint32_t *q) noexcept  // entries q[0, 1], q[4, 5], q[8, 9], q[12, 13]
    {
        const __m256 lo = lo_entries(tab, q[0], q[1], q[4], q[5]);
        const __m256 hi = lo_entries(tab, q[8], q[9], q[12], q[13]);
        return _mm512_castpd_ps(
            _mm512_maskz_insertf64x4(0xFF, _mm512_castpd256_pd512(_mm256_castps_pd(lo)), _mm256_castps_pd(hi), 1));
    }
    static void osc_split(const cf32_t *tab, uint32_t p, uint32_t inc, reg &c, reg &s) noexcept
    {
        uint32_t q[16];
        for (int i = 0; i < 16; ++i)
            q[i] = p + static_cast<uint32_t>(i) * inc;
        const __m512 a = four(tab, q), b = four(tab, q + 2);
        c = _mm512_shuffle_ps(a, b, 0x88);
        s = _mm512_shuffle_ps(a, b, 0xDD);
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_avx512 = {_r2c_run, _c2c_run};
