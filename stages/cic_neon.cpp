/*
 * CIC decimation kernel for NEON: cic_body.inc's scheme with NEON registers.
 * A chunk is quantised four components at a time (x * 32768 in float32, NaN
 * to zero, clamp, truncate toward zero, lift by 32768), then the integrators
 * and combs run on both channels at once, one 64-bit lane each, modulo 2^64
 * in the scalar order, so every integer is the scalar kernel's.
 */
#include "cic_simd.h"
#include "isa_neon.h"

namespace {

constexpr size_t kCicChunk = 512; // samples quantised per pass

inline uint32x4_t _lift(float32x4_t x) noexcept
{
    float32x4_t v = Isa::mul(x, Isa::set1(32768.0f));
    v = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(v), vceqq_f32(v, v))); // NaN to +0
    v = Isa::min(v, Isa::set1(32767.0f));
    v = Isa::max(v, Isa::set1(-32768.0f));
    return vreinterpretq_u32_s32(vaddq_s32(vcvtq_s32_f32(v), vdupq_n_s32(0x8000)));
}

void _quantise(const cf32_t *in, size_t m, uint32_t *u) noexcept
{
    const float *x = &in->re;
    const size_t nf = 2 * m;
    size_t k = 0;
    for (; k + 4 <= nf; k += 4)
        vst1q_u32(u + k, _lift(vld1q_f32(x + k)));
    if (k < nf) { // tail of two floats (nf is even)
        float t[4] = {x[k], x[k + 1], 0.0f, 0.0f};
        vst1q_u32(u + k, _lift(vld1q_f32(t)));
    }
}

inline uint64x2_t _pair(const uint64_t *i, const uint64_t *q, int k) noexcept
{
    const uint64_t v[2] = {i[k], q[k]};
    return vld1q_u64(v);
}

inline void _unpair(uint64x2_t v, uint64_t *i, uint64_t *q, int k) noexcept
{
    i[k] = vgetq_lane_u64(v, 0);
    q[k] = vgetq_lane_u64(v, 1);
}

size_t _decimate(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out) noexcept
{
    alignas(16) uint32_t u[2 * kCicChunk + 4];
    uint64x2_t I1 = _pair(v->integ_i, v->integ_q, 0), I2 = _pair(v->integ_i, v->integ_q, 1);
    uint64x2_t I3 = _pair(v->integ_i, v->integ_q, 2), I4 = _pair(v->integ_i, v->integ_q, 3);
    uint64x2_t D[4];
    for (int k = 0; k < 4; ++k)
        D[k] = _pair(v->comb_i, v->comb_q, k);
    const int64x2_t right = vdupq_n_s64(-static_cast<int64_t>(v->shift));
    const uint64x2_t low16 = vdupq_n_u64(0xFFFF);
    const float32x2_t scale = vdup_n_f32(0x1p-15f), minus1 = vdup_n_f32(-1.0f);
    const uint32_t ratio = v->ratio;
    uint32_t counter = v->counter;
    size_t written = 0;
    for (size_t c0 = 0; c0 < n; c0 += kCicChunk) {
        const size_t m = n - c0 < kCicChunk ? n - c0 : kCicChunk;
        _quantise(in + c0, m, u);
        size_t j = 0;
        while (j < m) {
            // Inputs up to and including the next output (the scalar test is ++counter >= ratio).
            const size_t due = counter < ratio ? ratio - counter : 1;
            const size_t run = m - j < due ? m - j : due;
            const uint32_t *p = u + 2 * j;
            for (size_t k = 0; k < run; ++k) {
                const uint64x2_t x = vmovl_u32(vld1_u32(p + 2 * k));
                I1 = vaddq_u64(I1, x);
                I2 = vaddq_u64(I2, I1);
                I3 = vaddq_u64(I3, I2);
                I4 = vaddq_u64(I4, I3);
            }
            j += run;
            counter += static_cast<uint32_t>(run);
            if (counter >= ratio) {
                counter = 0;
                uint64x2_t d = I4;
                for (int k = 0; k < 4; ++k) { // d_{k+1} = d_k - D_{k+1}, then D_{k+1} = d_k
                    const uint64x2_t t = vsubq_u64(d, D[k]);
                    D[k] = d;
                    d = t;
                }
                const uint64x2_t w = vandq_u64(vshlq_u64(d, right), low16);
                const float32x2_t wf = vcvt_f32_s32(vreinterpret_s32_u32(vmovn_u64(w)));
                vst1_f32(&out[written].re, vfma_f32(minus1, wf, scale)); // w / 32768 - 1, exact
                ++written;
            }
        }
    }
    _unpair(I1, v->integ_i, v->integ_q, 0);
    _unpair(I2, v->integ_i, v->integ_q, 1);
    _unpair(I3, v->integ_i, v->integ_q, 2);
    _unpair(I4, v->integ_i, v->integ_q, 3);
    for (int k = 0; k < 4; ++k)
        _unpair(D[k], v->comb_i, v->comb_q, k);
    v->counter = counter;
    return written;
}

} // namespace

const cic_kernels cic_kernels_neon = {_decimate};
