/*
 * FIR kernels for AVX2 with FMA, compiled for that target only and called
 * only when the CPU has it; the loops are those of fir_simd.inc on 8-float
 * registers (four consecutive outputs, re/im interleaved). The tail of a
 * block uses maskload/maskstore with an integer lane mask.
 */
#include "fir_simd.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

struct V {
    using reg = __m256;
    using mask = __m256i;  // all-ones in the lanes in use
    static constexpr size_t W = 8;

    static mask lanes(size_t count)
    {
        const int lim = count > 8 ? 8 : static_cast<int>(count);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(lim), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static reg zero() { return _mm256_setzero_ps(); }
    static reg set1(float v) { return _mm256_set1_ps(v); }
    static reg loadu(const float *p) { return _mm256_loadu_ps(p); }
    static reg load_masked(mask m, const float *p) { return _mm256_maskload_ps(p, m); }
    static void storeu(float *p, reg v) { _mm256_storeu_ps(p, v); }
    static void store_masked(float *p, mask m, reg v) { _mm256_maskstore_ps(p, m, v); }
    static reg pair(const cf32_t *p)
    {
        return _mm256_castpd_ps(_mm256_broadcastsd_pd(_mm_castsi128_pd(_mm_loadu_si64(p))));
    }
    static reg dup_re(reg v) { return _mm256_moveldup_ps(v); }
    static reg dup_im(reg v) { return _mm256_movehdup_ps(v); }
    static reg neg_re(reg v) { return _mm256_xor_ps(v, _mm256_setr_ps(-0.0f, 0, -0.0f, 0, -0.0f, 0, -0.0f, 0)); }
    static reg swap_pairs(reg v) { return _mm256_permute_ps(v, 0xB1); }
};

}  // namespace

#include "fir_simd.inc"

void _fir_run_avx2(const float *taps_r, const cf32_t *taps_c, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    _fir_run<4>(taps_r, taps_c, L, w, n, out);
}

#endif
