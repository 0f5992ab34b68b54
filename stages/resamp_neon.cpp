/*
 * Resampler kernels for NEON; the loops are those of resamp_body.inc on
 * 4-float registers (two complex slots). NEON has no masked loads or stores,
 * so the accumulators' first and last registers go lane by lane; the
 * partial-sum ring takes the accumulators rotated by one ext. The 16 lane
 * sums of an interpolated output are eight registers, four of real parts and
 * four of imaginary parts.
 */
#include "isa_neon.h"
#include "resamp_simd.h"

namespace {

struct V : Isa {
    using Isa::lanes;
    // Lanes base .. count-1 of a register starting at lane base.
    static mask lanes(size_t count, size_t base)
    {
        const size_t n = count > base ? count - base : 0;
        return Isa::lanes(n);
    }
    static reg load_masked_or(reg fill, mask m, const float *p)
    {
        float t[4];
        uint32_t b[4];
        vst1q_f32(t, fill);
        vst1q_u32(b, m);
        for (int l = 0; l < 4; ++l)
            if (b[l]) t[l] = p[l];
        return vld1q_f32(t);
    }
    // Complex slot 1 of lo and slot 0 of hi (S = 1 is the only one of two slots).
    template <int S>
    static reg window(reg lo, reg hi)
    {
        static_assert(S == 1);
        return vextq_f32(lo, hi, 2);
    }
    using keep = uint32x4_t;  // all-ones where the sum is kept, zero in the slot that starts anew
    static keep keep_all_but(long slot)
    {
        const uint32_t k0 = slot == 0 ? 0u : ~0u, k1 = slot == 1 ? 0u : ~0u;
        const uint32_t k[4] = {k0, k0, k1, k1};
        return vld1q_u32(k);
    }
    static reg add_keep(const keep *m, reg a, reg b) { return vbslq_f32(*m, vaddq_f32(a, b), a); }
    // a + b, but a alone in complex slot S.
    template <int S>
    static reg add_but(reg a, reg b)
    {
        const reg s = vaddq_f32(a, b);
        if constexpr (S == 0) return vcombine_f32(vget_low_f32(a), vget_high_f32(s));
        else return vcombine_f32(vget_low_f32(s), vget_high_f32(a));
    }
    template <int L>
    static void store_slot(cf32_t *p, reg v)
    {
        vst1_f32(&p->re, L == 0 ? vget_low_f32(v) : vget_high_f32(v));
    }
    // Lane sums p[0..15] of each part over body taps (a multiple of 16),
    // combined as q[l] = (p[4+l] + p[l]) + (p[8+l] + p[12+l]), then
    // (q0 + q1) + (q2 + q3). vld2q splits re and im, so the taps need no
    // duplicating and the lanes of both parts are those of the scalar arrays.
    static c1 dot_body(const float *c, const float *x, size_t body)
    {
        reg r0 = zero(), r1 = r0, r2 = r0, r3 = r0, i0 = r0, i1 = r0, i2 = r0, i3 = r0;
        for (size_t k = 0; k < body; k += 16) {
            const float *xk = x + 2 * k;
            const float32x4x2_t x0 = vld2q_f32(xk), x1 = vld2q_f32(xk + 8);
            const float32x4x2_t x2 = vld2q_f32(xk + 16), x3 = vld2q_f32(xk + 24);
            const reg c0 = vld1q_f32(c + k), c1_ = vld1q_f32(c + k + 4);
            const reg c2 = vld1q_f32(c + k + 8), c3 = vld1q_f32(c + k + 12);
            r0 = fmadd(c0, x0.val[0], r0);
            i0 = fmadd(c0, x0.val[1], i0);
            r1 = fmadd(c1_, x1.val[0], r1);
            i1 = fmadd(c1_, x1.val[1], i1);
            r2 = fmadd(c2, x2.val[0], r2);
            i2 = fmadd(c2, x2.val[1], i2);
            r3 = fmadd(c3, x3.val[0], r3);
            i3 = fmadd(c3, x3.val[1], i3);
        }
        const reg qr = add(add(r1, r0), add(r2, r3)), qi = add(add(i1, i0), add(i2, i3));
        const reg t = vpaddq_f32(qr, qi);  // q0 + q1, q2 + q3 of re, then of im
        return vget_low_f32(vpaddq_f32(t, t));
    }
};

}  // namespace

#include "resamp_body.inc"

namespace {

size_t _decimate_entry(resamp_decim_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    return _decimate_any(v, in, n_in, out, cap);
}

}  // namespace

const resamp_kernels resamp_kernels_neon = {_decimate_entry, _interpolate_any};
