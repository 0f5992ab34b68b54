/*
 * Designed resampler kernels for NEON; the loops are those of presamp_body.inc
 * with the 16 lane sums of a part in four registers (lanes 0-3, .., 12-15),
 * so a[j] + a[j + 8] and a[j] + a[j + 4] are adds of whole registers.
 *
 * Folding two outputs: the 64-bit halves of re and im of an output are
 * paired for a[j] + a[j + 2], then one pairwise add gives a[0] + a[1] of
 * re a, im a, re b, im b: the two outputs in memory order. Every add keeps
 * the lower lane as its first operand, as the scalar loop. Two outputs at a
 * time: four would take all 32 registers for the sums alone.
 */
#include "isa_neon.h"
#include "presamp_simd.h"

namespace {

struct V {
    struct R {
        float32x4_t v[4];
    };
    static constexpr bool kFour = false;
    static constexpr size_t kShare = 0;  // four would not fit with the row
    static void store4(cf32_t *, R, R, R, R, R, R, R, R) {}
    static void store4s(cf32_t *, size_t, R, R, R, R, R, R, R, R) {}
    static R zero() { return {{Isa::zero(), Isa::zero(), Isa::zero(), Isa::zero()}}; }
    static R load(const float *p) { return {{vld1q_f32(p), vld1q_f32(p + 4), vld1q_f32(p + 8), vld1q_f32(p + 12)}}; }
    static R loadu(const float *p) { return load(p); }
    static R set1(float v) { return {{Isa::set1(v), Isa::set1(v), Isa::set1(v), Isa::set1(v)}}; }
    static R fma(R a, R b, R c)
    {
        R r;
        for (int j = 0; j < 4; ++j) r.v[j] = Isa::fmadd(a.v[j], b.v[j], c.v[j]);
        return r;
    }

    // a[j] + a[j + 8], then + a[j + 4], then + a[j + 2]: (re0, re1, im0, im1).
    static float32x4_t fold(R re, R im)
    {
        const float32x4_t r = Isa::add(Isa::add(re.v[0], re.v[2]), Isa::add(re.v[1], re.v[3]));
        const float32x4_t i = Isa::add(Isa::add(im.v[0], im.v[2]), Isa::add(im.v[1], im.v[3]));
        return Isa::add(vcombine_f32(vget_low_f32(r), vget_low_f32(i)), vcombine_f32(vget_high_f32(r), vget_high_f32(i)));
    }
    static void store2(cf32_t *o, R ra, R ia, R rb, R ib)
    {
        vst1q_f32(&o->re, vpaddq_f32(fold(ra, ia), fold(rb, ib)));
    }
    static void store1(cf32_t *o, R ra, R ia)
    {
        const float32x4_t a = fold(ra, ia);
        vst1_f32(&o->re, vpadd_f32(vget_low_f32(a), vget_high_f32(a)));
    }
};

}  // namespace

#include "presamp_body.inc"

namespace {

// 4 samples at a time: vld2q splits re and im, a pair swap and a half swap
// reverse them.
inline float32x4_t _reverse(float32x4_t v)
{
    const float32x4_t s = vrev64q_f32(v);
    return vextq_f32(s, s, 2);
}

void _push(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    const float *s = reinterpret_cast<const float *>(src);
    size_t k = 0;
    // src is read forwards, the slots filled backwards.
    for (; k + 4 <= len; k += 4) {
        const float32x4x2_t v = vld2q_f32(s + 2 * k);
        const float32x4_t r = _reverse(v.val[0]), i = _reverse(v.val[1]);
        const size_t at = len - 4 - k;
        vst1q_f32(re + at, r);
        vst1q_f32(re + at + L, r);
        vst1q_f32(im + at, i);
        vst1q_f32(im + at + L, i);
    }
    for (; k < len; ++k) {
        re[len - 1 - k] = re[len - 1 - k + L] = src[k].re;
        im[len - 1 - k] = im[len - 1 - k + L] = src[k].im;
    }
}

}  // namespace

const presamp_kernels presamp_kernels_neon = {_dot, _push};
