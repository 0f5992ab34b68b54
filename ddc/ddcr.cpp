/*
 * Real-input digital down-converter:
 *   x (real, fs_in) -> half-band R2C decimator (2:1, fs_in/4 shift) -> A
 *   A[k] *= exp(+j*theta_k)   (oscillator fused with the mixer, at fs_in/2)
 *   A -> rate converter for 2*rate -> y (complex, rate*fs_in)
 * Two kinds of plan share the chain: the exact one (19-tap decimator, table
 * oscillator, planned converter) and the designed one (decimator, fine
 * oscillator and converter designed for a stop-band attenuation).
 * Every stage keeps its history between calls, so any block split gives the
 * same bytes. The scratch block lives in the state and only grows, and the
 * converter's own scratch is reserved before the decimator runs: a block
 * either finds all its memory up front or is not consumed at all.
 */
#include "ddcr.h"
#include "ddcr_internal.h"

#include "../design/halfband_internal.h"
#include "../rate/rate_converter.h"
#include "../rate/rate_converter_internal.h"
#include "../rate/rate_design.h"
#include "../stages/hbdecim_r2c.h"
#include "../stages/hbdecim_r2c_internal.h"
#include "../stages/lo.h"
#include "../stages/nco.h"
#include "../stages/xlate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Half-band branch: 18 taps at twice their weight, outermost first.
const float s_hb_fir[18] = {
    0.00157905323f, -0.00467577344f, 0.0104431789f, -0.0201746244f, 0.0357989259f,
    -0.0608663708f, 0.104113407f,    -0.19753781f,  0.631600916f,   0.631600916f,
    -0.19753781f,   0.104113407f,    -0.0608663708f, 0.0357989259f, -0.0201746244f,
    0.0104431789f,  -0.00467577344f, 0.00157905323f,
};

constexpr size_t kHbTaps = 19;

} // namespace

struct ddcr_state {
    hbdecim_r2c_state_t *r2c; // half-band real-to-complex decimator, owned
    hbdecim_r2c_state_t *r2c_sharp; // designed plan: the carrier-independent decimator
                                    // a retune may need, owned, or null
    double r2c_delta;         // designed plan: transition half-width of r2c
    lo_state_t *lo;           // table oscillator at fs_in/2 (exact plan), owned, or null
    nco_state_t *nco;         // fine oscillator at fs_in/2 (designed plan), owned, or null
    RateConverter *rc;        // converter for 2*rate, owned, or null for the one-stage plan
    xlate_state_t *xl;        // designed one-stage plan (rational rates above 1/4), owned, or null
    double norm_freq;         // as last set, for the one-stage plan
    double rate;              // fs_out / fs_in as given at creation
    double atten_db;          // designed plan's attenuation, 0 for the exact plan
    cf32_t *scratch;          // decimator output of the current block, mixed in place
    size_t scratch_cap;       // capacity of scratch, complex samples
};

namespace {

// Grows the scratch block to at least n samples; the old one stays on failure.
int _reserve(ddcr_state *s, size_t n)
{
    if (s->scratch_cap >= n)
        return 0;
    cf32_t *a = ddc_alloc_lines(n);
    if (!a)
        return -1;
    ddc_free_lines(s->scratch);
    s->scratch = a;
    s->scratch_cap = n;
    return 0;
}

} // namespace

extern "C" {

hbdecim_r2c_state_t *ddcr_design_r2c(double atten_db, double delta)
{
    const double stage_atten = atten_db + DESIGN_HB_MARGIN_DB;
    const size_t h = halfband_num_coeffs_eq(stage_atten, delta);
    std::vector<float> coeffs;
    try {
        coeffs.resize(h ? h : 1);
    } catch (...) {
        return nullptr;
    }
    const size_t taps = h ? halfband_design_eq(stage_atten, delta, coeffs.data(), h) : 0;
    return taps ? hbdecim_r2c_create(taps, coeffs.data()) : nullptr;
}

ddcr_state_t *ddcr_create_designed(double norm_freq, double rate, double atten_db)
{
    if (!(rate > 0.0 && rate < 0.5) || !(atten_db >= DDC_ATTEN_MIN && atten_db <= DDC_ATTEN_MAX))
        return nullptr;
    auto *s = static_cast<ddcr_state *>(std::calloc(1, sizeof(ddcr_state)));
    if (!s)
        return nullptr;
    s->rate = rate;
    s->atten_db = atten_db;
    s->norm_freq = norm_freq;
    // Above 1/4 no half-band fits before the resampler, and a 2:1 first stage
    // needs a transition as narrow as the output's: one translating stage at
    // the input rate does the job for less, where the rate is a small ratio.
    uint32_t up = 0, down = 0;
    if (rate > 0.25 && xlate_ratio(rate, &up, &down)) {
        s->xl = xlate_create(-design_r2c_carrier(norm_freq), up, down, atten_db);
        if (!s->xl) {
            ddcr_destroy(s);
            return nullptr;
        }
        return s;
    }
    // The first stage gets the widest transition this carrier allows; a retune
    // that needs a sharper one switches to the carrier-independent design.
    const double sharp = design_r2c_delta(rate);
    const double wide = design_r2c_delta_for(rate, design_r2c_carrier(norm_freq));
    s->r2c_delta = wide;
    s->r2c = ddcr_design_r2c(atten_db, wide);
    bool ok = s->r2c != nullptr;
    if (ok && wide > sharp) {
        s->r2c_sharp = ddcr_design_r2c(atten_db, sharp);
        ok = s->r2c_sharp != nullptr;
    }
    s->nco = ok ? nco_create(norm_freq) : nullptr;
    s->rc = s->nco ? RateConverter_create_designed(2.0 * rate, atten_db) : nullptr;
    if (!s->rc) {
        ddcr_destroy(s);
        return nullptr;
    }
    return s;
}

ddcr_state_t *ddcr_create(double norm_freq, double rate)
{
    if (!(rate > 0.0 && rate < 0.5)) // NaN fails too
        return nullptr;
    auto *s = static_cast<ddcr_state *>(std::calloc(1, sizeof(ddcr_state)));
    if (!s)
        return nullptr;
    s->r2c = hbdecim_r2c_create(kHbTaps, s_hb_fir);
    if (!s->r2c) {
        std::free(s);
        return nullptr;
    }
    s->lo = lo_create(norm_freq);
    if (!s->lo) {
        hbdecim_r2c_destroy(s->r2c);
        std::free(s);
        return nullptr;
    }
    // The converter runs after the 2:1 decimator: fs_out / (fs_in/2).
    s->rc = RateConverter_create(0, 2.0 * rate);
    if (!s->rc) {
        lo_destroy(s->lo);
        hbdecim_r2c_destroy(s->r2c);
        std::free(s);
        return nullptr;
    }
    s->rate = rate;
    return s;
}

int ddcr_execute_checked(ddcr_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap,
                         size_t *n_out)
{
    if (n_out)
        *n_out = 0;
    if (n_in == 0)
        return 0;
    if (s->xl) {
        const size_t count = xlate_execute(s->xl, in, n_in, out, cap);
        if (n_out)
            *n_out = count;
        return 0;
    }
    // The decimator writes at most floor(n_in/2) + 1 samples (with a held-over one).
    const size_t m_max = n_in / 2 + 1;
    if (_reserve(s, m_max + 1) != 0 || RateConverter_reserve(s->rc, m_max) != 0)
        return -1;
    // The exact plans' oscillator mixes inside the decimator's kernel, on outputs still in registers.
    const size_t m = s->nco ? hbdecim_r2c_execute(s->r2c, in, n_in, s->scratch, m_max + 1)
                            : hbdecim_r2c_execute_lo(s->r2c, in, n_in, s->scratch, m_max + 1, s->lo);
    if (m == 0)
        return 0; // the odd sample waits for the next call
    const size_t count = s->nco ? RateConverter_execute_nco(s->rc, s->scratch, m, s->scratch, out, cap, s->nco)
                                : RateConverter_execute(s->rc, s->scratch, m, out, cap);
    if (n_out)
        *n_out = count;
    return 0;
}

size_t ddcr_execute(ddcr_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap)
{
    size_t count = 0;
    if (ddcr_execute_checked(s, in, n_in, out, cap, &count) != 0)
        return 0;
    return count;
}

size_t ddcr_execute_capacity(size_t n_in)
{
    if (n_in == 0)
        return 0;
    return n_in < 2 ? 2 : n_in;
}

size_t ddcr_capacity(const ddcr_state_t *s, size_t n_in)
{
    if (n_in == 0)
        return 0;
    if (s->xl)
        return xlate_capacity(s->xl, n_in);
    // The decimator yields floor((n + 1) / 2) at most (with a held-over sample).
    return RateConverter_execute_capacity(s->rc, n_in / 2 + (n_in & 1));
}

void ddcr_reset(ddcr_state_t *s)
{
    if (s->xl) {
        xlate_reset(s->xl);
        return;
    }
    hbdecim_r2c_reset(s->r2c);
    if (s->nco)
        nco_reset(s->nco);
    else
        lo_reset(s->lo);
    RateConverter_reset(s->rc);
}

void ddcr_destroy(ddcr_state_t *s)
{
    if (!s)
        return;
    hbdecim_r2c_destroy(s->r2c);
    hbdecim_r2c_destroy(s->r2c_sharp);
    lo_destroy(s->lo);
    nco_destroy(s->nco);
    RateConverter_destroy(s->rc);
    xlate_destroy(s->xl);
    ddc_free_lines(s->scratch);
    std::free(s);
}

double ddcr_get_norm_freq(const ddcr_state_t *s)
{
    if (s->xl)
        return s->norm_freq;
    return s->nco ? nco_get_norm_freq(s->nco) : lo_get_norm_freq(s->lo);
}

void ddcr_set_norm_freq(ddcr_state_t *s, double norm_freq)
{
    if (s->xl) {
        s->norm_freq = norm_freq;
        xlate_set_norm_freq(s->xl, -design_r2c_carrier(norm_freq));
        return;
    }
    if (s->r2c_sharp &&
        design_r2c_delta_for(s->rate, design_r2c_carrier(norm_freq)) < s->r2c_delta) {
        hbdecim_r2c_carry_over(s->r2c_sharp, s->r2c);
        hbdecim_r2c_destroy(s->r2c);
        s->r2c = s->r2c_sharp;
        s->r2c_sharp = nullptr;
        s->r2c_delta = design_r2c_delta(s->rate);
    }
    if (s->nco)
        nco_set_norm_freq(s->nco, norm_freq);
    else
        lo_set_norm_freq(s->lo, norm_freq);
}

double ddcr_get_atten_db(const ddcr_state_t *s)
{
    return s->atten_db;
}

double ddcr_get_delay(const ddcr_state_t *s)
{
    if (s->xl)
        return xlate_get_delay(s->xl) * s->rate;
    // The decimator's centre sits num_taps - 1 inputs behind output m's time 2m.
    const double r2c = static_cast<double>(hbdecim_r2c_get_num_taps(s->r2c) - 1) * s->rate;
    return r2c + RateConverter_get_delay(s->rc);
}

double ddcr_get_cost(const ddcr_state_t *s)
{
    if (s->xl)
        return xlate_get_cost(s->xl);
    // Decimator: the folded branch and the centre per output pair; mixer and
    // oscillator: 8 operations per intermediate sample.
    const double r2c = 0.5 * static_cast<double>(hbdecim_r2c_get_num_taps(s->r2c) / 2 + 1);
    return r2c + 0.5 * (8.0 + RateConverter_get_cost(s->rc));
}

int ddcr_get_num_stages(const ddcr_state_t *s)
{
    if (s->xl)
        return 1;
    const int n = RateConverter_get_num_stages(s->rc);
    return n > 0 ? n + 2 : 0;
}

int ddcr_stage_label(const ddcr_state_t *s, int index, char *buf, size_t size)
{
    if (index < 0 || index >= ddcr_get_num_stages(s))
        return 0;
    if (s->xl) {
        std::snprintf(buf, size, "Translator(%u/%u, %zu taps x %u rows)", xlate_get_up(s->xl),
                      xlate_get_down(s->xl), xlate_get_num_taps(s->xl), xlate_get_up(s->xl));
    } else if (index == 0) {
        const size_t n = hbdecim_r2c_get_num_taps(s->r2c);
        std::snprintf(buf, size, "HalfbandR2C(%zu taps)", n < 3 ? n : 2 * n - 3);
    } else if (index == 1) {
        std::snprintf(buf, size, s->nco ? "NCO(32-bit phase)" : "NCO(16-bit table)");
    } else {
        return RateConverter_stage_label(s->rc, index - 2, buf, size);
    }
    return 1;
}

double ddcr_get_rate(const ddcr_state_t *s)
{
    return s->rate;
}

size_t ddcr_execute_max_out(void)
{
    return 0;
}

} // extern "C"
