// NEON block kernels of the half-band decimators.
//
// Four consecutive real-to-complex outputs (two complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_body.inc).
// Thirty-two registers leave room for four sums in flight.
#include "hbdecim_kernels.h"
#include "isa_neon.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 4;
    static constexpr size_t UL = 3;
    static constexpr size_t kR2cLongFrom = 16;
    static constexpr bool kNco = false; // the fine oscillator runs as a pass of its own
    static constexpr bool kShift = false;
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        const float odd[4] = {0, n, 0, n}, even[4] = {n, 0, n, 0};
        return vld1q_f32(parity ? even : odd);
    }
    static void osc_split(const cf32_t *tab, uint32_t p, uint32_t inc, reg &c, reg &s) noexcept
    {
        const float *t = &tab->re;
        const float32x4_t a = vcombine_f32(vld1_f32(t + 2 * (p >> 16)), vld1_f32(t + 2 * ((p + inc) >> 16)));
        const float32x4_t b = vcombine_f32(vld1_f32(t + 2 * ((p + 2 * inc) >> 16)), vld1_f32(t + 2 * ((p + 3 * inc) >> 16)));
        c = vuzp1q_f32(a, b);
        s = vuzp2q_f32(a, b);
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_neon = {_r2c_run, _c2c_run, V::kNco};
