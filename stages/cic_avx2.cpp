/*
 * CIC decimation kernel for AVX2 with FMA: the vector traits for the shared
 * kernel of cic_body.inc, whose quantiser then runs on eight components at a
 * time.
 */
#include "cic_simd.h"
#include "isa_avx2.h"

namespace {

struct V : Isa {
    static reg load_first(const float *p, size_t n)
    {
        return _mm256_maskload_ps(p, lanes(n));
    }
    static void store_u32(uint32_t *u, ireg v) { _mm256_store_si256(reinterpret_cast<__m256i *>(u), v); }
    static reg nan_to_zero(reg v) { return _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q)); }
    static ireg trunc_lift(reg v) { return _mm256_add_epi32(_mm256_cvttps_epi32(v), _mm256_set1_epi32(0x8000)); }
};

}  // namespace

#include "cic_body.inc"

const cic_kernels cic_kernels_avx2 = {_cic_run<V>};
