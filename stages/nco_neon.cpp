// NEON fine-oscillator kernel, four samples per step.
//
// The table pairs are fetched by one 64-bit load per sample and split into
// cos and sin vectors by one unzip each; vld2q/vst2q split and rejoin the
// signal. Per lane the scalar kernel's operations:
//   e = (float)(p & 0xFFFFF) * K, c = fma(-(0.5*e), e, 1)
//   o.re = fma(T.re, c, -(T.im*e)), o.im = fma(T.im, c, T.re*e)
//   out.re = fma(x.re, o.re, -(x.im*o.im)), out.im = fma(x.re, o.im, x.im*o.re)
// A tail of 1 to 3 samples goes through the same code on padded copies.
#include "isa_neon.h"
#include "nco_simd.h"

namespace {

template <bool Mix>
inline void _four(const cf32_t *tab, uint32_t phase, uint32_t inc, uint32x4_t p, const float *x, float *y) noexcept
{
    float32x4x2_t o;
    Nco::osc(tab, phase, inc, p, o.val[0], o.val[1]);
    if constexpr (Mix) {
        const float32x4x2_t s = vld2q_f32(x);
        Nco::mix(s.val[0], s.val[1], o.val[0], o.val[1]);
    }
    vst2q_f32(y, o);
}

template <bool Mix>
void _run(const cf32_t *tab, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    const uint32_t lane[4] = {0, 1, 2, 3};
    uint32x4_t p = vmlaq_u32(vdupq_n_u32(phase), vld1q_u32(lane), vdupq_n_u32(inc));
    const uint32x4_t step = vdupq_n_u32(inc << 2);
    const float *xf = Mix ? &x->re : nullptr;
    float *o = &out->re;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _four<Mix>(tab, phase, inc, p, Mix ? xf + 2 * i : nullptr, o + 2 * i);
        p = vaddq_u32(p, step);
        phase += inc << 2;
    }
    if (i < n) {
        float xs[8] = {}, ys[8];
        if constexpr (Mix)
            __builtin_memcpy(xs, xf + 2 * i, 2 * (n - i) * sizeof(float));
        _four<Mix>(tab, phase, inc, p, xs, ys);
        __builtin_memcpy(o + 2 * i, ys, 2 * (n - i) * sizeof(float));
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

const nco_kernels nco_kernels_neon = {_entry};
