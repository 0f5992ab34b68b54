// AVX2+FMA block kernels of the half-band decimators.
//
// Eight consecutive real-to-complex outputs (four complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_body.inc).
#include "hbdecim_kernels.h"
#include "isa_avx2.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 2;
    static constexpr size_t UL = 2;
    static constexpr size_t kR2cLongFrom = 16;
    static constexpr bool kNco = false; // the fine oscillator runs as a pass of its own
    static constexpr bool kShift = false; // no cheap cross-lane shift
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        return parity ? _mm256_setr_ps(n, 0, n, 0, n, 0, n, 0) : _mm256_setr_ps(0, n, 0, n, 0, n, 0, n);
    }
    // Entries 0, 1 | 4, 5 in one register and 2, 3 | 6, 7 in the other, so
    // one in-lane shuffle apiece splits them in order.
    static void osc_split(const cf32_t *tab, uint32_t p, uint32_t inc, reg &c, reg &s) noexcept
    {
        uint32_t q[8];
        for (int i = 0; i < 8; ++i)
            q[i] = p + static_cast<uint32_t>(i) * inc;
        const __m256 a = lo_entries(tab, q[0], q[1], q[4], q[5]);
        const __m256 b = lo_entries(tab, q[2], q[3], q[6], q[7]);
        c = _mm256_shuffle_ps(a, b, 0x88);
        s = _mm256_shuffle_ps(a, b, 0xDD);
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_avx2 = {_r2c_run, _c2c_run, V::kNco};
