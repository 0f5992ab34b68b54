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
    static constexpr bool kShift = false;
    static constexpr bool kLineCopy = false; // not measured on an ARM core
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

    // 2 * steps inputs x times the fine oscillator from phase q (step inc),
    // even inputs to a, odd ones to b, by nco_neon.cpp's lane operations.
    // Eight inputs at a time: vld4q splits them into the evens' and the
    // odds' parts, each set runs its own oscillator (phases two steps apart)
    // and vst2q writes it to its window.
    static constexpr bool kNco = true;
    static void nco_deint(const cf32_t *x, size_t steps, cf32_t *a, cf32_t *b, const cf32_t *tab, uint32_t q,
                          uint32_t inc) noexcept
    {
        const uint32_t lane[4] = {0, 2, 4, 6};
        uint32x4_t p = vmlaq_u32(vdupq_n_u32(q), vld1q_u32(lane), vdupq_n_u32(inc));
        const uint32x4_t step = vdupq_n_u32(inc << 3), odd = vdupq_n_u32(inc);
        size_t s = 0;
        for (; s + 2 <= steps; s += 2) {
            const float32x4x4_t v = vld4q_f32(&x[4 * s].re);
            float32x4x2_t e, o;
            Nco::osc(tab, q, 2 * inc, p, e.val[0], e.val[1]);
            Nco::osc(tab, q + inc, 2 * inc, vaddq_u32(p, odd), o.val[0], o.val[1]);
            Nco::mix(v.val[0], v.val[1], e.val[0], e.val[1]);
            Nco::mix(v.val[2], v.val[3], o.val[0], o.val[1]);
            vst2q_f32(&a[2 * s].re, e);
            vst2q_f32(&b[2 * s].re, o);
            p = vaddq_u32(p, step);
            q += inc << 3;
        }
        for (size_t t = 2 * s; t < 2 * steps; ++t, q += 2 * inc) {
            a[t] = ddc_nco::mix(x[2 * t], ddc_nco::osc(tab, q));
            b[t] = ddc_nco::mix(x[2 * t + 1], ddc_nco::osc(tab, q + inc));
        }
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_neon = {_r2c_run, _c2c_run, V::kNco};
