// NEON oscillator-times-signal kernel: lo_mix_avx2.cpp's scheme on two
// samples per register, each oscillator value one 64-bit load from the
// (cosine, sine) pair table. Per lane the scalar mixer's arithmetic:
//   t = (o.im * x.im, o.re * x.im) with the sign of the first flipped,
//   out = fma((o.re, o.im), (x.re, x.re), t).
#include "isa_neon.h"
#include "lo_mix.h"

namespace {

inline float32x4_t _osc2(const cf32_t *pairs, uint32_t p0, uint32_t p1) noexcept
{
    return vcombine_f32(vld1_f32(&pairs[p0 >> 16].re), vld1_f32(&pairs[p1 >> 16].re));
}

inline float32x4_t _mix2(float32x4_t o, float32x4_t xv) noexcept
{
    const float32x4_t t = Isa::neg_re(Isa::mul(Isa::swap_pairs(o), Isa::dup_im(xv)));
    return Isa::fmadd(o, Isa::dup_re(xv), t);
}

void _mix(const cf32_t *pairs, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    size_t k = 0;
    // Phases from the step's first, as in lo_mix_avx2.cpp: one add from step to step.
    const uint32_t inc2 = 2 * inc, inc3 = 3 * inc, inc4 = 4 * inc;
    for (; k + 4 <= n; k += 4) { // two registers per step for two independent chains
        const float32x4_t a = _mix2(_osc2(pairs, phase, phase + inc), vld1q_f32(&x[k].re));
        const float32x4_t b = _mix2(_osc2(pairs, phase + inc2, phase + inc3), vld1q_f32(&x[k + 2].re));
        vst1q_f32(&out[k].re, a);
        vst1q_f32(&out[k + 2].re, b);
        phase += inc4;
    }
    for (; k < n; ++k) {
        const float32x2_t o = vld1_f32(&pairs[phase >> 16].re);
        const float32x4_t y = _mix2(vcombine_f32(o, o), vcombine_f32(vld1_f32(&x[k].re), vld1_f32(&x[k].re)));
        vst1_f32(&out[k].re, vget_low_f32(y));
        phase += inc;
    }
}

} // namespace

const lo_kernels lo_kernels_neon = {_mix};
