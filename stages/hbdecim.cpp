// Half-band decimator for complex streams.
//
// Same polyphase structure as the real-to-complex decimator, without the
// frequency shift: inputs are taken in pairs, the first sample of each pair
// goes into history A and the second into history B, and each pair yields
// one output. The half-band filter's branch taps all fall into one history
// and its centre tap into the other; the symmetric branch is folded into
// sums of paired samples, one addition and one fused multiply-add per
// coefficient, and the centre is added last as fma(0.5, centre, branch).
// Real and imaginary parts are filtered independently with the same real
// coefficients.
//
// Each history is a power-of-two ring stored twice over, so the window of any
// output is one contiguous newest-first run with no wrap-around test.
//
// The vectorised variants (hbdecim_avx2.cpp, hbdecim_avx512.cpp) compute many
// consecutive outputs at once from linear windows, history oldest first then
// the block's pairs, built in runs by hbdecim_common.h, which also holds the
// rings, the pending sample and the execute loop shared with the real-input
// stage; afterwards the ring is rewritten exactly as the same number of
// single pushes would leave it, so scalar and vector calls can follow each
// other in any order with identical results.

#include "hbdecim.h"
#include "hbdecim_common.h"
#include "hbdecim_internal.h"
#include "nco_simd.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

// The shared fields are the whole state; coeffs hold 0.5 * table.
struct hbdecim_state : ddc_hb::state_base<cf32_t> {};

namespace {

// Folded branch sum over a newest-first window w: sum of c[k] * (w[k] + w[2h-1-k]),
// per part. Long branches run 16 interleaved partial sums first; the tail is ascending.
cf32_t _branch_sum(const float *c, size_t h, const cf32_t *w) noexcept
{
    cf32_t s = {0.0f, 0.0f};
    if (h == 0)
        return s;
    const size_t last = 2 * h - 1;
    size_t k = 0;
    if (h >= 16) {
        float pr[16], pi[16];
        for (int r = 0; r < 16; ++r) {
            pr[r] = 0.0f;
            pi[r] = 0.0f;
        }
        const size_t blocks_end = h & ~static_cast<size_t>(15);
        for (; k < blocks_end; k += 16)
            for (size_t r = 0; r < 16; ++r) {
                const cf32_t a = w[k + r];
                const cf32_t b = w[last - k - r];
                pr[r] = std::fmaf(c[k + r], a.re + b.re, pr[r]);
                pi[r] = std::fmaf(c[k + r], a.im + b.im, pi[r]);
            }
        float qr[4], qi[4];
        for (int l = 0; l < 4; ++l) {
            qr[l] = (pr[4 + l] + pr[l]) + (pr[8 + l] + pr[12 + l]);
            qi[l] = (pi[4 + l] + pi[l]) + (pi[8 + l] + pi[12 + l]);
        }
        s.re = (qr[0] + qr[1]) + (qr[2] + qr[3]);
        s.im = (qi[0] + qi[1]) + (qi[2] + qi[3]);
    }
    for (; k < h; ++k) {
        const cf32_t a = w[k];
        const cf32_t b = w[last - k];
        s.re = std::fmaf(c[k], a.re + b.re, s.re);
        s.im = std::fmaf(c[k], a.im + b.im, s.im);
    }
    return s;
}

void _produce(hbdecim_state_t *s, cf32_t first, cf32_t second, cf32_t *y) noexcept
{
    ddc_hb::push_pair(*s, first, second);
    const cf32_t *A = s->history_a + s->pos_a;
    const cf32_t *B = s->history_b + s->pos_b;
    const size_t h = s->half;
    cf32_t acc;
    cf32_t centre;
    if (s->even) {
        acc = _branch_sum(s->coeffs, h, A);
        centre = B[h];
    } else {
        acc = _branch_sum(s->coeffs, h, B + 1);
        centre = A[h];
    }
    y->re = std::fmaf(0.5f, centre.re, acc.re);
    y->im = std::fmaf(0.5f, centre.im, acc.im);
}

} // namespace

extern "C" {

hbdecim_state_t *hbdecim_create(size_t num_taps, const float *coeffs)
{
    if (num_taps == 0 || !coeffs)
        return nullptr;
    auto *s = ddc_hb::alloc_state<hbdecim_state_t>(num_taps);
    if (!s)
        return nullptr;
    for (size_t k = 0; k < s->half; ++k)
        s->coeffs[k] = 0.5f * coeffs[k];
    return s;
}

void hbdecim_destroy(hbdecim_state_t *s)
{
    if (s)
        ddc_hb::free_state(s);
}

void hbdecim_reset(hbdecim_state_t *s)
{
    ddc_hb::reset_rings(*s);
}

double hbdecim_get_rate(const hbdecim_state_t *s)
{
    (void)s;
    return 0.5;
}

size_t hbdecim_get_num_taps(const hbdecim_state_t *s)
{
    return s->num_taps;
}

size_t hbdecim_execute(hbdecim_state_t *s, const cf32_t *x, size_t n_in, cf32_t *y, size_t cap)
{
    ddc_hb::c2c_run r;
    r.nco = nullptr;
    return ddc_hb::execute(
        s, x, n_in, y, cap, [s](cf32_t a, cf32_t b, cf32_t *out) { _produce(s, a, b, out); }, r,
        [](ddc_hb::c2c_run &) {}, ddc_hb::plain(x));
}

} // extern "C"

bool hbdecim_nco_fused() noexcept
{
#if defined(DDC_HAVE_SIMD)
    const hb_kernels *k = hb_kernels_for(ddc_simd_level());
    return k && k->c2c_nco;
#else
    return false;
#endif
}

size_t hbdecim_execute_nco(hbdecim_state_t *s, const cf32_t *x, size_t n_in, cf32_t *y, size_t cap,
                           nco_state_t *nco) noexcept
{
    const cf32_t *tab = ddc_nco::table();
    const uint32_t phase = nco_get_phase(nco), inc = nco_get_phase_inc(nco);
    // Input i meets the oscillator sample of phase + i * inc, as in nco_mix.
    const auto load = [x, tab, phase, inc](size_t i) {
        return ddc_nco::mix(x[i], ddc_nco::osc(tab, phase + static_cast<uint32_t>(i) * inc));
    };
    ddc_hb::c2c_run r;
    r.nco = tab;
    r.nco_inc = inc;
    const size_t m = ddc_hb::execute(
        s, x, n_in, y, cap, [s](cf32_t a, cf32_t b, cf32_t *out) { _produce(s, a, b, out); }, r,
        [x, phase, inc](ddc_hb::c2c_run &run) {
            run.nco_phase = phase + static_cast<uint32_t>(run.x - x) * inc;
        },
        load, hbdecim_nco_fused());
    nco_set_phase(nco, phase + static_cast<uint32_t>(n_in) * inc);
    return m;
}
