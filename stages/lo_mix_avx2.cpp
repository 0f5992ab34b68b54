// AVX2+FMA oscillator-times-signal kernel.
//
// Four samples per register, real and imaginary parts in adjacent lanes, in
// the layout of the signal itself. Each sample's oscillator value is one
// 64-bit load from the (cosine, sine) pair table: scalar loads keep the
// table's cache lines to one per sample, which measured faster than gathers
// from the sine table for every phase step, on AVX-512 machines as well.
// Per lane the arithmetic is the scalar mixer's:
//   t = (o.im * x.im, o.re * x.im) with the sign of the first flipped,
//   out = fma((o.re, o.im), (x.re, x.re), t).
// AVX-512 has nothing to add here (the loads are the limit), so its table
// names this kernel too.
#include "isa_avx2.h"
#include "lo_mix.h"

namespace {

inline __m256 _mix4(__m256 o, __m256 xv) noexcept
{
    const __m256 t = Isa::neg_re(Isa::mul(Isa::swap_pairs(o), Isa::dup_im(xv)));
    return Isa::fmadd(o, Isa::dup_re(xv), t);
}

void _mix(const cf32_t *pairs, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    size_t k = 0;
    // Each phase from the step's first (modulo 2^32 the same values as
    // stepping one by one), so the chain from step to step is one add; two
    // registers per step (measured 17 % faster than one, stepping one by one).
    const uint32_t inc2 = 2 * inc, inc3 = 3 * inc, inc4 = 4 * inc;
    for (; k + 8 <= n; k += 8) {
        const uint32_t q = phase + inc4;
        const __m256 o0 = Isa::lo_entries(pairs, phase, phase + inc, phase + inc2, phase + inc3);
        const __m256 o1 = Isa::lo_entries(pairs, q, q + inc, q + inc2, q + inc3);
        phase = q + inc4;
        _mm256_storeu_ps(&out[k].re, _mix4(o0, _mm256_loadu_ps(&x[k].re)));
        _mm256_storeu_ps(&out[k + 4].re, _mix4(o1, _mm256_loadu_ps(&x[k + 4].re)));
    }
    for (; k + 4 <= n; k += 4) {
        const __m256 o = Isa::lo_entries(pairs, phase, phase + inc, phase + inc2, phase + inc3);
        phase += inc4;
        _mm256_storeu_ps(&out[k].re, _mix4(o, _mm256_loadu_ps(&x[k].re)));
    }
    if (k < n) {
        // Tail of 1 to 3 samples through a zero-padded register.
        const size_t rest = n - k;
        cf32_t xs[4] = {};
        cf32_t ys[4];
        __builtin_memcpy(xs, x + k, rest * sizeof(cf32_t));
        const __m256 o = Isa::lo_entries(pairs, phase, phase + inc, phase + inc2, phase + inc3);
        _mm256_storeu_ps(&ys[0].re, _mix4(o, _mm256_loadu_ps(&xs[0].re)));
        __builtin_memcpy(out + k, ys, rest * sizeof(cf32_t));
    }
}

} // namespace

const lo_kernels lo_kernels_avx2 = {_mix};
#if defined(DDC_HAVE_AVX512)
const lo_kernels lo_kernels_avx512 = {_mix};
#endif
