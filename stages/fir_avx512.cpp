/*
 * FIR kernels for AVX-512 (F, VL, BW, DQ), compiled for that target only and
 * called only when the CPU has it; the loops are those of fir_simd.inc on
 * 16-float registers (eight consecutive outputs, re/im interleaved). The tail
 * of a block uses zero-masked loads and masked stores with a 16-bit mask.
 *
 * GCC 12 leaves the source of the unmasked forms of some intrinsics undefined
 * and then warns about it where they are inlined; the all-lanes zero-masked
 * forms used instead compute the same values with a defined source.
 */
#include "fir_simd.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

struct V {
    using reg = __m512;
    using mask = __mmask16;
    static constexpr size_t W = 16;

    static mask lanes(size_t count)
    {
        return count >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << count) - 1);
    }
    static reg zero() { return _mm512_setzero_ps(); }
    static reg set1(float v) { return _mm512_set1_ps(v); }
    static reg loadu(const float *p) { return _mm512_loadu_ps(p); }
    static reg load_masked(mask m, const float *p) { return _mm512_maskz_loadu_ps(m, p); }
    static void storeu(float *p, reg v) { _mm512_storeu_ps(p, v); }
    static void store_masked(float *p, mask m, reg v) { _mm512_mask_storeu_ps(p, m, v); }
    static reg pair(const cf32_t *p)
    {
        return _mm512_castpd_ps(_mm512_maskz_broadcastsd_pd(0xFF, _mm_castsi128_pd(_mm_loadu_si64(p))));
    }
    static reg dup_re(reg v) { return _mm512_maskz_moveldup_ps(0xFFFF, v); }
    static reg dup_im(reg v) { return _mm512_maskz_movehdup_ps(0xFFFF, v); }
    static reg neg_re(reg v)
    {
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), _mm512_set1_epi64(0x80000000LL)));
    }
    static reg swap_pairs(reg v) { return _mm512_maskz_permute_ps(0xFFFF, v, 0xB1); }
};

}  // namespace

#include "fir_simd.inc"

void _fir_run_avx512(const float *taps_r, const cf32_t *taps_c, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    _fir_run<8>(taps_r, taps_c, L, w, n, out);
}

#endif
