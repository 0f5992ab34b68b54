/*
 * CIC decimation kernel for AVX2 with FMA, compiled for that target only and
 * called only when the CPU has it: the vector traits for the shared kernel of
 * cic_run.h, whose quantiser then runs on eight components at a time.
 */
#include "cic_simd.h"

#if defined(__x86_64__)

#include "cic_run.h"

namespace {

struct V {
    using reg = __m256;
    using ireg = __m256i;
    static constexpr size_t W = 8;

    static reg load(const float *p) { return _mm256_loadu_ps(p); }
    static reg load_first(const float *p, size_t n)
    {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_maskload_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), idx));
    }
    static void store(uint32_t *u, ireg v) { _mm256_store_si256(reinterpret_cast<__m256i *>(u), v); }
    static reg set1(float v) { return _mm256_set1_ps(v); }
    static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    static reg nan_to_zero(reg v) { return _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q)); }
    static reg min(reg a, reg b) { return _mm256_min_ps(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    static ireg trunc_lift(reg v) { return _mm256_add_epi32(_mm256_cvttps_epi32(v), _mm256_set1_epi32(0x8000)); }
};

}  // namespace

size_t _cic_decimate_avx2(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out)
{
    return _cic_run<V>(v, in, n, out);
}

#endif
