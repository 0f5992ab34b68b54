/*
 * CIC decimation kernel for NEON: cic_body.inc's scheme with NEON registers.
 * A chunk is quantised four components at a time (x * 32768 in float32,
 * clamp, truncate toward zero, lift by 32768; the clamp keeps a NaN, which the
 * conversion takes to zero), then the integrators and combs run on both
 * channels at once, one 64-bit lane each, modulo 2^64 in the scalar order, so
 * every integer is the scalar kernel's. A full chunk runs in 32-bit lanes
 * instead, four runs side by side (see cic_body.inc), runs 0 and 1 in one
 * register, 2 and 3 in another: for R <= 16 as quarters, for R >= 32 as
 * segments of 32 inputs.
 */
#include "cic_simd.h"
#include "isa_neon.h"

namespace {

// The quantiser's value before the lift: in -32768..32767.
inline int32x4_t _signed(float32x4_t x) noexcept
{
    float32x4_t v = Isa::mul(x, Isa::set1(32768.0f));
    v = Isa::min(v, Isa::set1(32767.0f));
    v = Isa::max(v, Isa::set1(-32768.0f));
    return vcvtq_s32_f32(v);
}

inline uint32x4_t _lift(float32x4_t x) noexcept
{
    return vreinterpretq_u32_s32(vaddq_s32(_signed(x), vdupq_n_s32(0x8000)));
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

// Quarters 0 and 1 (or 2 and 3) of an integrator, (I, Q) pairs.
struct Two {
    uint32x4_t a, b;  // quarters 0, 1 and 2, 3
};

inline uint64x2_t _u64(uint32x4_t v) noexcept { return vreinterpretq_u64_u32(v); }
inline uint32x4_t _u32(uint64x2_t v) noexcept { return vreinterpretq_u32_u64(v); }

// An (I, Q) pair of 64-bit values to an (I, Q) pair of 32-bit values and back.
inline uint64_t _low_halves(uint64x2_t v) noexcept
{
    return vget_lane_u64(vreinterpret_u64_u32(vmovn_u64(v)), 0);
}

inline uint64x2_t _widen(uint64_t p) noexcept
{
    return vmovl_u32(vreinterpret_u32_u64(vdup_n_u64(p)));
}

// Sample j + T (T = 0, 1) of four runs into their integrators J, from q[r],
// samples j and j + 1 of run r.
template <int T>
inline void _integrate(Two (&J)[4], const uint64x2_t (&q)[4]) noexcept
{
    const Two c = T ? Two{_u32(vzip2q_u64(q[0], q[1])), _u32(vzip2q_u64(q[2], q[3]))}
                    : Two{_u32(vzip1q_u64(q[0], q[1])), _u32(vzip1q_u64(q[2], q[3]))};
    J[0] = {vaddq_u32(J[0].a, c.a), vaddq_u32(J[0].b, c.b)};
    for (int k = 1; k < 4; ++k)
        J[k] = {vaddq_u32(J[k].a, J[k - 1].a), vaddq_u32(J[k].b, J[k - 1].b)};
}

// A full chunk in 32-bit lanes; R = 1 << L, L in 1..4. I and D hold the
// 64-bit (I, Q) pairs of the integrators and comb delays.
template <int L>
size_t _chunk_quarters(uint64x2_t *I, uint64x2_t *D, const cf32_t *in, uint32_t counter, uint32_t shift,
                       cf32_t *out) noexcept
{
    constexpr size_t R = size_t{1} << L, E = kCicQuarter / R;
    alignas(16) uint32_t ev[E][8];
    const float *x = &in->re;
    const size_t f = R - 1 - counter;
    Two J[4];
    for (int k = 0; k < 4; ++k)
        J[k] = {_u32(vcombine_u64(vcreate_u64(_low_halves(I[k])), vcreate_u64(0))), vdupq_n_u32(0)};
    size_t e = 0;
    for (size_t j = 0; j < kCicQuarter; j += 2) {
        uint64x2_t q[4];  // samples j, j + 1 of each quarter
        for (int r = 0; r < 4; ++r)
            q[r] = _u64(_lift(vld1q_f32(x + 2 * (r * kCicQuarter + j))));
        for (size_t t = 0; t < 2; ++t) {
            t ? _integrate<1>(J, q) : _integrate<0>(J, q);
            if (((j + t) & (R - 1)) == f) {
                vst1q_u32(ev[e], J[3].a);
                vst1q_u32(ev[e] + 4, J[3].b);
                ++e;
            }
        }
    }

    alignas(16) uint32_t l[4][8], s[4][8];
    for (int k = 0; k < 4; ++k) {
        vst1q_u32(l[k], J[k].a);
        vst1q_u32(l[k] + 4, J[k].b);
    }
    uint64_t end[4];
    cic_quarter_states(l, s, end);
    for (int k = 0; k < 4; ++k)
        I[k] = _widen(end[k]);

    // The outputs' I4 values, then the combs in time order (see cic_body.inc).
    Two y[E];
    for (size_t i = 0; i < E; ++i) {
        const CicGains g(static_cast<uint32_t>(f + i * R + 1));
        for (int h = 0; h < 2; ++h) {
            uint32x4_t v = vaddq_u32(vld1q_u32(ev[i] + 4 * h), vld1q_u32(s[3] + 4 * h));
            v = vmlaq_n_u32(v, vld1q_u32(s[2] + 4 * h), g.m1);
            v = vmlaq_n_u32(v, vld1q_u32(s[1] + 4 * h), g.m2);
            v = vmlaq_n_u32(v, vld1q_u32(s[0] + 4 * h), g.m3);
            (h ? y[i].b : y[i].a) = v;
        }
    }
    for (int k = 0; k < 4; ++k) {
        const Two last = y[E - 1];
        const uint64x1_t d = vcreate_u64(_low_halves(D[k]));
        D[k] = _widen(vgetq_lane_u64(_u64(last.b), 1));
        for (size_t i = E - 1; i > 0; --i)
            y[i] = {vsubq_u32(y[i].a, y[i - 1].a), vsubq_u32(y[i].b, y[i - 1].b)};
        // each quarter's predecessor: the delay, then quarters 0 .. 2 of the last outputs
        y[0] = {vsubq_u32(y[0].a, _u32(vcombine_u64(d, vget_low_u64(_u64(last.a))))),
                vsubq_u32(y[0].b, _u32(vextq_u64(_u64(last.a), _u64(last.b), 1)))};
    }
    const int32x4_t right = vdupq_n_s32(-static_cast<int32_t>(shift));
    const float32x4_t scale = vdupq_n_f32(0x1p-15f), minus1 = vdupq_n_f32(-1.0f);
    float64_t *o = reinterpret_cast<float64_t *>(out);  // one complex sample per 64-bit lane
    for (size_t i = 0; i < E; i += 2) {
        float64x2_t w[2][2];  // [event][half]
        for (int t = 0; t < 2; ++t)
            for (int h = 0; h < 2; ++h) {
                const uint32x4_t u = vandq_u32(vshlq_u32(h ? y[i + t].b : y[i + t].a, right), vdupq_n_u32(0xFFFF));
                w[t][h] = vreinterpretq_f64_f32(vfmaq_f32(minus1, vcvtq_f32_u32(u), scale));
            }
        vst1q_f64(o + i, vzip1q_f64(w[0][0], w[1][0]));
        vst1q_f64(o + E + i, vzip2q_f64(w[0][0], w[1][0]));
        vst1q_f64(o + 2 * E + i, vzip1q_f64(w[0][1], w[1][1]));
        vst1q_f64(o + 3 * E + i, vzip2q_f64(w[0][1], w[1][1]));
    }
    return 4 * E;
}

// The comb section on an (I, Q) pair of I4 values, D its delays; writes one
// output sample.
inline void _put(uint64x2_t *D, uint64x2_t d, int64x2_t right, cf32_t *o) noexcept
{
    for (int k = 0; k < 4; ++k) { // d_{k+1} = d_k - D_{k+1}, then D_{k+1} = d_k
        const uint64x2_t t = vsubq_u64(d, D[k]);
        D[k] = d;
        d = t;
    }
    const uint64x2_t w = vandq_u64(vshlq_u64(d, right), vdupq_n_u64(0xFFFF));
    const float32x2_t wf = vcvt_f32_s32(vreinterpret_s32_u32(vmovn_u64(w)));
    vst1_f32(&o->re, vfma_f32(vdup_n_f32(-1.0f), wf, vdup_n_f32(0x1p-15f))); // w / 32768 - 1, exact
}

// For R >= 32, segments of kCicSegment inputs from zero, four side by side in
// 32-bit lanes (segments 0, 1 in one register, 2, 3 in the other), corrected
// in 64 bits through the state in time order, as in cic_body.inc.

// v * c modulo 2^64 in each lane, c < 2^32.
inline uint64x2_t _times(uint64x2_t v, uint32_t c) noexcept
{
    const uint64x2_t lo = vmull_n_u32(vmovn_u64(v), c);
    return vaddq_u64(lo, vshlq_n_u64(vmull_n_u32(vshrn_n_u64(v, 32), c), 32));
}

// A full chunk, ratio - counter a multiple of 32.
size_t _chunk_segments(uint64x2_t *I, uint64x2_t *D, const cf32_t *in, uint32_t ratio, uint32_t counter,
                       int64x2_t right, cf32_t *out) noexcept
{
    constexpr size_t S = kCicSegment;
    const float *x = &in->re;
    constexpr CicGains g(S);
    static_assert(g.m1 == 32 && g.m2 == 512 + 16);
    size_t written = 0;
    uint32_t due = ratio - 1 - counter;  // the next output's index from the segment's start
    for (size_t g0 = 0; g0 < kCicChunk; g0 += 4 * S) {
        Two J[4];
        for (int k = 0; k < 4; ++k)
            J[k] = {vdupq_n_u32(0), vdupq_n_u32(0)};
        for (size_t j = 0; j < S; j += 2) {
            uint64x2_t q[4];  // samples j, j + 1 of each segment
            for (int r = 0; r < 4; ++r)
                q[r] = vreinterpretq_u64_s32(_signed(vld1q_f32(x + 2 * (g0 + r * S + j))));
            _integrate<0>(J, q);
            _integrate<1>(J, q);
        }
        for (int k = 0; k < 4; ++k) {
            const uint32x4_t lift = vdupq_n_u32(kCicSegmentLift[k]);
            J[k] = {vaddq_u32(J[k].a, lift), vaddq_u32(J[k].b, lift)};
        }
        for (int q = 0; q < 4; ++q) {
            uint64x2_t l[4];  // segment q's own values, (I, Q) pairs
            for (int k = 0; k < 4; ++k) {
                const uint32x4_t h = q < 2 ? J[k].a : J[k].b;
                l[k] = q % 2 ? vmovl_high_u32(h) : vmovl_u32(vget_low_u32(h));
            }
            // 32 inputs on: I_k += l_k + the gains of the lower integrators.
            const uint64x2_t i1 = I[0], i2 = I[1];
            const uint64x2_t i1x528 = vaddq_u64(vshlq_n_u64(i1, 9), vshlq_n_u64(i1, 4));
            const uint64x2_t i2x528 = vaddq_u64(vshlq_n_u64(i2, 9), vshlq_n_u64(i2, 4));
            I[3] = vaddq_u64(vaddq_u64(I[3], l[3]),
                             vaddq_u64(vaddq_u64(vshlq_n_u64(I[2], 5), i2x528), _times(i1, g.m3)));
            I[2] = vaddq_u64(vaddq_u64(I[2], l[2]), vaddq_u64(vshlq_n_u64(i2, 5), i1x528));
            I[1] = vaddq_u64(vaddq_u64(i2, l[1]), vshlq_n_u64(i1, 5));
            I[0] = vaddq_u64(i1, l[0]);
            if (due < S) {
                _put(D, I[3], right, out + written++);
                due += ratio;
            }
            due -= S;
        }
    }
    return written;
}

size_t _decimate(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out) noexcept
{
    alignas(16) uint32_t u[2 * kCicChunk + 4];
    uint64x2_t I[4], D[4];
    for (int k = 0; k < 4; ++k) {
        I[k] = _pair(v->integ_i, v->integ_q, k);
        D[k] = _pair(v->comb_i, v->comb_q, k);
    }
    const int64x2_t right = vdupq_n_s64(-static_cast<int64_t>(v->shift));
    const uint32_t ratio = v->ratio;
    uint32_t counter = v->counter;
    size_t written = 0;
    for (size_t c0 = 0, m = 0; c0 < n; c0 += m) {
        m = n - c0 < kCicChunk ? n - c0 : kCicChunk;
        // R >= 32: up to the next multiple of 32 after an output one at a
        // time, which starts every later full chunk there.
        const size_t head = (ratio - counter) & (kCicSegment - 1);
        if (ratio > kCicMaxRatio32 && counter < ratio && head && head < m)
            m = head;
        if (m == kCicChunk && counter < ratio && ratio <= kCicMaxRatio32) {
            cf32_t *o = out + written;
            const uint32_t sh = v->shift;
            written += ratio == 2 ? _chunk_quarters<1>(I, D, in + c0, counter, sh, o)
                     : ratio == 4 ? _chunk_quarters<2>(I, D, in + c0, counter, sh, o)
                     : ratio == 8 ? _chunk_quarters<3>(I, D, in + c0, counter, sh, o)
                                  : _chunk_quarters<4>(I, D, in + c0, counter, sh, o);
            continue;  // 512 inputs leave the counter where it was
        }
        if (m == kCicChunk && counter < ratio) { // R >= 32 here
            written += _chunk_segments(I, D, in + c0, ratio, counter, right, out + written);
            counter = (counter + static_cast<uint32_t>(kCicChunk)) & (ratio - 1);
            continue;
        }
        _quantise(in + c0, m, u);
        size_t j = 0;
        while (j < m) {
            // Inputs up to and including the next output (the scalar test is ++counter >= ratio).
            const size_t due = counter < ratio ? ratio - counter : 1;
            const size_t run = m - j < due ? m - j : due;
            const uint32_t *p = u + 2 * j;
            for (size_t k = 0; k < run; ++k) {
                const uint64x2_t x = vmovl_u32(vld1_u32(p + 2 * k));
                I[0] = vaddq_u64(I[0], x);
                for (int k = 1; k < 4; ++k)
                    I[k] = vaddq_u64(I[k], I[k - 1]);
            }
            j += run;
            counter += static_cast<uint32_t>(run);
            if (counter >= ratio) {
                counter = 0;
                _put(D, I[3], right, out + written++);
            }
        }
    }
    for (int k = 0; k < 4; ++k) {
        _unpair(I[k], v->integ_i, v->integ_q, k);
        _unpair(D[k], v->comb_i, v->comb_q, k);
    }
    v->counter = counter;
    return written;
}

} // namespace

const cic_kernels cic_kernels_neon = {_decimate};
