// AVX2+FMA block kernels of the half-band decimators.
//
// Eight consecutive real-to-complex outputs (four complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_body.inc).
#include "hbdecim_kernels.h"
#include "isa_avx2.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 2;
    static constexpr size_t UL = 2;
    static constexpr size_t kR2cLongFrom = 16;
    static constexpr bool kShift = false; // no cheap cross-lane shift
    static constexpr bool kLineCopy = true; // loads across a cache line cost two
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        return parity ? _mm256_setr_ps(n, 0, n, 0, n, 0, n, 0) : _mm256_setr_ps(0, n, 0, n, 0, n, 0, n);
    }
    // Entries 0, 1 | 4, 5 in one register and 2, 3 | 6, 7 in the other, so
    // one in-lane shuffle apiece splits them in order.
    static void osc_split(const cf32_t *tab, uint32_t p, uint32_t inc, reg &c, reg &s) noexcept
    {
        uint32_t q[8];
        for (int i = 0; i < 8; ++i)
            q[i] = p + static_cast<uint32_t>(i) * inc;
        const __m256 a = lo_entries(tab, q[0], q[1], q[4], q[5]);
        const __m256 b = lo_entries(tab, q[2], q[3], q[6], q[7]);
        c = _mm256_shuffle_ps(a, b, 0x88);
        s = _mm256_shuffle_ps(a, b, 0xDD);
    }

    // 8 * steps inputs x times the fine oscillator from phase q (step inc),
    // even inputs to a, odd ones to b and, when bc is not null, to bc too, by
    // nco_avx2.cpp's lane operations.
    // Table and signal are both split into phase order (the signal loaded as
    // inputs 0 1 | 4 5 and 2 3 | 6 7), so interleaving re with im and then
    // the 64-bit halves of the results gives the evens and the odds.
    static constexpr bool kNco = true;
    static void nco_deint(const cf32_t *x, size_t steps, cf32_t *a, cf32_t *b, const cf32_t *tab, uint32_t q,
                          uint32_t inc, cf32_t *bc) noexcept
    {
        if (bc)
            _nco_deint<true>(x, steps, a, b, tab, q, inc, bc);
        else
            _nco_deint<false>(x, steps, a, b, tab, q, inc, bc);
    }
    template <bool Copy>
    static void _nco_deint(const cf32_t *x, size_t steps, cf32_t *a, cf32_t *b, const cf32_t *tab, uint32_t q,
                           uint32_t inc, cf32_t *bc) noexcept
    {
        double *cd = reinterpret_cast<double *>(bc);
        const Nco k;
        const double *t = reinterpret_cast<const double *>(tab);
        __m256i p = Nco::phases(q, inc, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i step = Nco::step8(inc);
        const float *xf = &x->re;
        double *ad = reinterpret_cast<double *>(a), *bd = reinterpret_cast<double *>(b);
        for (size_t s = 0; s < steps; ++s) {
            const uint32_t q1 = q + inc, q2 = q1 + inc, q3 = q2 + inc, q4 = q3 + inc;
            const uint32_t q5 = q4 + inc, q6 = q5 + inc, q7 = q6 + inc;
            const __m256 lo = Nco::quad(t, q, q1, q4, q5), hi = Nco::quad(t, q2, q3, q6, q7);
            __m256 re, im;
            k.osc(_mm256_shuffle_ps(lo, hi, 0x88), _mm256_shuffle_ps(lo, hi, 0xDD), p, re, im);
            const float *xs = xf + 16 * s;
            const __m256 x01 = _mm256_loadu2_m128(xs + 8, xs), x23 = _mm256_loadu2_m128(xs + 12, xs + 4);
            k.mix(_mm256_shuffle_ps(x01, x23, 0x88), _mm256_shuffle_ps(x01, x23, 0xDD), re, im);
            const __m256d l = _mm256_castps_pd(_mm256_unpacklo_ps(re, im)); // 0 1 | 4 5
            const __m256d h = _mm256_castps_pd(_mm256_unpackhi_ps(re, im)); // 2 3 | 6 7
            _mm256_storeu_pd(ad + 4 * s, _mm256_unpacklo_pd(l, h));
            const __m256d odd = _mm256_unpackhi_pd(l, h);
            _mm256_storeu_pd(bd + 4 * s, odd);
            if constexpr (Copy)
                _mm256_storeu_pd(cd + 4 * s, odd);
            p = _mm256_add_epi32(p, step);
            q += inc << 3;
        }
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_avx2 = {_r2c_run, _c2c_run, V::kNco};
