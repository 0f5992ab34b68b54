/*
 * CIC decimation kernel for AVX-512 (F, VL, BW, DQ): the vector traits for the
 * shared kernel of cic_body.inc, whose quantiser then runs on sixteen
 * components at a time. The truncation uses the all-lanes zero-masked form
 * (see isa_avx512.h).
 */
#include "cic_simd.h"
#include "isa_avx512.h"

namespace {

struct V : Isa {
    static reg load_first(const float *p, size_t n) { return _mm512_maskz_loadu_ps(lanes(n), p); }
    static void store_u32(uint32_t *u, ireg v) { _mm512_store_si512(u, v); }
    static reg times32768(reg x)
    {
        return _mm512_castsi512_ps(_mm512_add_epi32(_mm512_castps_si512(x), _mm512_set1_epi32(15 << 23)));
    }
    static ireg trunc_lift(reg v)
    {
        return _mm512_add_epi32(_mm512_maskz_cvttps_epi32(0xFFFF, v), _mm512_set1_epi32(0x8000));
    }
};

}  // namespace

#include "cic_body.inc"

const cic_kernels cic_kernels_avx512 = {_cic_run<V>};
