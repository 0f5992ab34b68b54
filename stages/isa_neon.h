/*
 * Library-internal: the AArch64 Advanced SIMD (NEON) vector helpers every
 * family's NEON source builds on (not exported); the names of isa_avx2.h on
 * 4-float registers. NEON is baseline on AArch64, so no extra flags; the
 * build's -ffp-contract=off keeps vmulq and vaddq apart, and every fused
 * operation is an explicit vfmaq_f32, as the scalar fmaf is one fmadd.
 * NEON has no masked loads or stores: the tail helpers go lane by lane and
 * touch only the lanes in use.
 */
#ifndef DDC_STAGES_ISA_NEON_H
#define DDC_STAGES_ISA_NEON_H

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "nco_simd.h"
#include "simd.h"

namespace {

struct Isa {
    using reg = float32x4_t;
    using ireg = uint32x4_t;
    using mask = uint32x4_t; // all-ones in the lanes in use
    static constexpr int kLevel = DDC_SIMD_NEON;
    static constexpr size_t W = 4;

    static reg zero() noexcept { return vdupq_n_f32(0.0f); }
    static reg set1(float v) noexcept { return vdupq_n_f32(v); }
    static reg loadu(const float *p) noexcept { return vld1q_f32(p); }
    static reg load(const float *p) noexcept { return vld1q_f32(p); }
    static void storeu(float *p, reg v) noexcept { vst1q_f32(p, v); }
    static reg add(reg a, reg b) noexcept { return vaddq_f32(a, b); }
    static reg sub(reg a, reg b) noexcept { return vsubq_f32(a, b); }
    static reg mul(reg a, reg b) noexcept { return vmulq_f32(a, b); }
    // a*b + c, one rounding
    static reg fmadd(reg a, reg b, reg c) noexcept { return vfmaq_f32(c, a, b); }
    static reg xor_(reg a, reg b) noexcept
    {
        return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(a), vreinterpretq_u32_f32(b)));
    }
    // Of values that are not NaN (NaN handling differs from x86's minps).
    static reg min(reg a, reg b) noexcept { return vminq_f32(a, b); }
    static reg max(reg a, reg b) noexcept { return vmaxq_f32(a, b); }

    static mask lanes(size_t count) noexcept
    {
        const uint32_t lim = count > W ? static_cast<uint32_t>(W) : static_cast<uint32_t>(count);
        const uint32_t idx[4] = {0, 1, 2, 3};
        return vcltq_u32(vld1q_u32(idx), vdupq_n_u32(lim));
    }
    static reg load_masked(mask m, const float *p) noexcept
    {
        float t[4] = {0, 0, 0, 0};
        uint32_t b[4];
        vst1q_u32(b, m);
        for (int l = 0; l < 4; ++l)
            if (b[l])
                t[l] = p[l];
        return vld1q_f32(t);
    }
    static void store_masked(float *p, mask m, reg v) noexcept
    {
        float t[4];
        uint32_t b[4];
        vst1q_f32(t, v);
        vst1q_u32(b, m);
        for (int l = 0; l < 4; ++l)
            if (b[l])
                p[l] = t[l];
    }

    static reg splat_pair(const cf32_t *p) noexcept
    {
        const float32x2_t v = vld1_f32(&p->re);
        return vcombine_f32(v, v);
    }
    static reg dup_re(reg v) noexcept { return vtrn1q_f32(v, v); }
    static reg dup_im(reg v) noexcept { return vtrn2q_f32(v, v); }
    static reg swap_pairs(reg v) noexcept { return vrev64q_f32(v); }
    static reg neg_re(reg v) noexcept
    {
        const uint32_t s[4] = {0x80000000u, 0, 0x80000000u, 0};
        return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(v), vld1q_u32(s)));
    }
    static void deint_r(const float *x, float *a, float *b) noexcept
    {
        const float32x4x2_t t = vld2q_f32(x);
        vst1q_f32(a, t.val[0]);
        vst1q_f32(b, t.val[1]);
    }
    static void deint_c(const cf32_t *x, cf32_t *a, cf32_t *b) noexcept
    {
        const uint64x2_t v0 = vreinterpretq_u64_f32(vld1q_f32(&x[0].re));
        const uint64x2_t v1 = vreinterpretq_u64_f32(vld1q_f32(&x[2].re));
        vst1q_f32(&a->re, vreinterpretq_f32_u64(vzip1q_u64(v0, v1)));
        vst1q_f32(&b->re, vreinterpretq_f32_u64(vzip2q_u64(v0, v1)));
    }
    static void store_cplx(cf32_t *y, reg re, reg im) noexcept
    {
        float32x4x2_t t;
        t.val[0] = re;
        t.val[1] = im;
        vst2q_f32(&y->re, t);
    }

    // One complex sample (re, im) in a 64-bit register.
    using c1 = float32x2_t;
    static c1 c1_zero() noexcept { return vdup_n_f32(0.0f); }
    static c1 c1_load(const float *p) noexcept { return vld1_f32(p); }
    static void c1_store(cf32_t *p, c1 v) noexcept { vst1_f32(&p->re, v); }
    static c1 c1_add(c1 a, c1 b) noexcept { return vadd_f32(a, b); }
    // c*x + y on both parts, one rounding
    static c1 c1_fmadd(float c, c1 x, c1 y) noexcept { return vfma_n_f32(y, x, c); }
};

// The fine oscillator's lane operations (nco_simd.h), shared by its own
// kernel and the half-band stage that mixes while it de-interleaves.
struct Nco {
    // The oscillator of the lanes' phases p, lane l at q0 + l * inc: the table
    // pairs by one 64-bit load apiece, split into cos and sin by an unzip each.
    static void osc(const cf32_t *tab, uint32_t q0, uint32_t inc, uint32x4_t p, float32x4_t &re,
                    float32x4_t &im) noexcept
    {
        using ddc_nco::kFracBits;
        const uint32_t q1 = q0 + inc, q2 = q1 + inc, q3 = q2 + inc;
        const float32x4_t a = vcombine_f32(vld1_f32(&tab[q0 >> kFracBits].re), vld1_f32(&tab[q1 >> kFracBits].re));
        const float32x4_t b = vcombine_f32(vld1_f32(&tab[q2 >> kFracBits].re), vld1_f32(&tab[q3 >> kFracBits].re));
        const float32x4_t tre = vuzp1q_f32(a, b);
        const float32x4_t tim = vuzp2q_f32(a, b);
        const float32x4_t e = vmulq_f32(vcvtq_f32_s32(vreinterpretq_s32_u32(vandq_u32(p, vdupq_n_u32(ddc_nco::kFracMask)))),
                                        vdupq_n_f32(ddc_nco::kRadPerUnit));
        const float32x4_t c = vfmaq_f32(vdupq_n_f32(1.0f), vnegq_f32(vmulq_f32(vdupq_n_f32(0.5f), e)), e);
        re = vfmaq_f32(vnegq_f32(vmulq_f32(tim, e)), tre, c);
        im = vfmaq_f32(vmulq_f32(tre, e), tim, c);
    }
    // The signal (parts xre, xim) times the oscillator, in place of re and im.
    static void mix(float32x4_t xre, float32x4_t xim, float32x4_t &re, float32x4_t &im) noexcept
    {
        const float32x4_t r = vfmaq_f32(vnegq_f32(vmulq_f32(xim, im)), xre, re);
        im = vfmaq_f32(vmulq_f32(xim, re), xre, im);
        re = r;
    }
};

} // namespace

#endif
