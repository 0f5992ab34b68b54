/*
 * CIC decimation kernel for AVX-512 (F, VL, BW, DQ), compiled for that target
 * only and called only when the CPU has it: the vector traits for the shared
 * kernel of cic_run.h, whose quantiser then runs on sixteen components at a
 * time. min, max and the truncation use the all-lanes zero-masked intrinsic
 * forms: GCC 12 leaves the source of the unmasked ones undefined and warns
 * about it where they are inlined; the values are the same.
 */
#include "cic_simd.h"

#if defined(__x86_64__)

#include "cic_run.h"

namespace {

struct V {
    using reg = __m512;
    using ireg = __m512i;
    static constexpr size_t W = 16;

    static reg load(const float *p) { return _mm512_loadu_ps(p); }
    static reg load_first(const float *p, size_t n)
    {
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << n) - 1), p);
    }
    static void store(uint32_t *u, ireg v) { _mm512_store_si512(u, v); }
    static reg set1(float v) { return _mm512_set1_ps(v); }
    static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
    static reg nan_to_zero(reg v) { return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, v, _CMP_ORD_Q), v); }
    static reg min(reg a, reg b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }
    static reg max(reg a, reg b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
    static ireg trunc_lift(reg v)
    {
        return _mm512_add_epi32(_mm512_maskz_cvttps_epi32(0xFFFF, v), _mm512_set1_epi32(0x8000));
    }
};

}  // namespace

size_t _cic_decimate_avx512(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out)
{
    return _cic_run<V>(v, in, n, out);
}

#endif
