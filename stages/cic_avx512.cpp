/*
 * CIC decimation kernel for AVX-512 (F, VL, BW, DQ), compiled for that target
 * only and called only when the CPU has it. The quantiser runs on sixteen
 * components at a time with the scalar kernel's exact steps: x * 32768 in
 * float32, NaN to zero, clamp to [-32768, 32767], truncate toward zero, lift
 * by 32768; the rest is the shared integer loop of cic_run.h.
 */
#include "cic_simd.h"

#if defined(__x86_64__)

// GCC 12 warns about the undefined source operand inside its own AVX-512 intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "cic_run.h"

namespace {

inline __m512i _lift16(__m512 x)
{
    __m512 v = _mm512_mul_ps(x, _mm512_set1_ps(32768.0f));
    v = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, v, _CMP_ORD_Q), v);  // NaN -> +0.0
    v = _mm512_min_ps(v, _mm512_set1_ps(32767.0f));
    v = _mm512_max_ps(v, _mm512_set1_ps(-32768.0f));
    return _mm512_add_epi32(_mm512_cvttps_epi32(v), _mm512_set1_epi32(0x8000));
}

void _quantise(const cf32_t *in, size_t m, uint32_t *u)
{
    const float *x = reinterpret_cast<const float *>(in);
    const size_t nf = 2 * m;
    size_t k = 0;
    for (; k + 16 <= nf; k += 16)
        _mm512_store_si512(u + k, _lift16(_mm512_loadu_ps(x + k)));
    if (k < nf) {  // tail: masked load, lanes past the end are never read back
        const __mmask16 mask = static_cast<__mmask16>((1u << (nf - k)) - 1);
        _mm512_store_si512(u + k, _lift16(_mm512_maskz_loadu_ps(mask, x + k)));
    }
}

}  // namespace

size_t _cic_decimate_avx512(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out)
{
    return _cic_run(v, in, n, out, _quantise);
}

#endif
