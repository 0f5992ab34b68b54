/*
 * Complex-input digital down-converter:
 *   x (complex, fs_in) * exp(+j*theta_k) (oscillator fused with the mixer)
 *     -> rate converter for rate -> y (complex, rate*fs_in)
 * Any positive ratio: below 1 it decimates, above 1 it interpolates, at 1 the
 * converter copies. The mix block lives in the state and only grows, and the
 * converter's scratch is reserved first, so a block that cannot get its memory
 * is not consumed at all. The exact plan mixes with the table oscillator, the
 * designed plan with the fine oscillator and a designed converter.
 */
#include "ddc.h"
#include "ddc_internal.h"

#include "../rate/rate_converter.h"
#include "../rate/rate_converter_internal.h"
#include "../stages/lo.h"
#include "../stages/nco.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct ddc_state {
    lo_state_t *lo;     // table oscillator at fs_in (exact plan), owned, or null
    nco_state_t *nco;   // fine oscillator at fs_in (designed plan), owned, or null
    RateConverter *rc;  // converter for rate, owned; holds the rate
    cf32_t *mix;        // the mixed block
    size_t mix_cap;     // capacity of mix, complex samples
};

extern "C" {

ddc_state_t *ddc_create_designed(double norm_freq, double rate, double atten_db)
{
    if (!(rate > 0.0) || !std::isfinite(rate) ||
        !(atten_db >= DDC_ATTEN_MIN && atten_db <= DDC_ATTEN_MAX))
        return nullptr;
    auto *s = static_cast<ddc_state *>(std::calloc(1, sizeof(ddc_state)));
    if (!s)
        return nullptr;
    s->nco = nco_create(norm_freq);
    s->rc = s->nco ? RateConverter_create_designed(rate, atten_db) : nullptr;
    if (!s->rc) {
        nco_destroy(s->nco);
        std::free(s);
        return nullptr;
    }
    return s;
}

ddc_state_t *ddc_create(double norm_freq, double rate)
{
    if (!(rate > 0.0) || !std::isfinite(rate))
        return nullptr;
    auto *s = static_cast<ddc_state *>(std::calloc(1, sizeof(ddc_state)));
    if (!s)
        return nullptr;
    s->lo = lo_create(norm_freq);
    if (!s->lo) {
        std::free(s);
        return nullptr;
    }
    s->rc = RateConverter_create(0, rate);
    if (!s->rc) {
        lo_destroy(s->lo);
        std::free(s);
        return nullptr;
    }
    return s;
}

int ddc_execute_checked(ddc_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap,
                        size_t *n_out)
{
    if (n_out)
        *n_out = 0;
    if (n_in == 0)
        return 0;
    if (s->mix_cap < n_in) {
        cf32_t *m = ddc_alloc_lines(n_in);
        if (!m)
            return -1; // the old block stays; nothing consumed
        ddc_free_lines(s->mix);
        s->mix = m;
        s->mix_cap = n_in;
    }
    if (RateConverter_reserve(s->rc, n_in) != 0)
        return -1;
    size_t count;
    if (s->nco) {
        count = RateConverter_execute_nco(s->rc, in, n_in, s->mix, out, cap, s->nco);
    } else {
        lo_mix(s->lo, in, n_in, s->mix);
        count = RateConverter_execute(s->rc, s->mix, n_in, out, cap);
    }
    if (n_out)
        *n_out = count;
    return 0;
}

size_t ddc_execute(ddc_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    size_t count = 0;
    if (ddc_execute_checked(s, in, n_in, out, cap, &count) != 0)
        return 0;
    return count;
}

size_t ddc_execute_capacity(const ddc_state_t *s, size_t n_in)
{
    return RateConverter_execute_capacity(s->rc, n_in);
}

void ddc_reset(ddc_state_t *s)
{
    if (s->nco)
        nco_reset(s->nco);
    else
        lo_reset(s->lo);
    RateConverter_reset(s->rc);
}

void ddc_destroy(ddc_state_t *s)
{
    if (!s)
        return;
    lo_destroy(s->lo);
    nco_destroy(s->nco);
    RateConverter_destroy(s->rc);
    ddc_free_lines(s->mix);
    std::free(s);
}

double ddc_get_norm_freq(const ddc_state_t *s)
{
    return s->nco ? nco_get_norm_freq(s->nco) : lo_get_norm_freq(s->lo);
}

void ddc_set_norm_freq(ddc_state_t *s, double norm_freq)
{
    if (s->nco)
        nco_set_norm_freq(s->nco, norm_freq);
    else
        lo_set_norm_freq(s->lo, norm_freq);
}

double ddc_get_atten_db(const ddc_state_t *s)
{
    return RateConverter_get_atten_db(s->rc);
}

double ddc_get_delay(const ddc_state_t *s)
{
    return RateConverter_get_delay(s->rc);
}

double ddc_get_cost(const ddc_state_t *s)
{
    return 8.0 + RateConverter_get_cost(s->rc); // mixer and oscillator: 8 per sample
}

int ddc_get_num_stages(const ddc_state_t *s)
{
    const int n = RateConverter_get_num_stages(s->rc);
    return n > 0 ? n + 1 : 0;
}

int ddc_stage_label(const ddc_state_t *s, int index, char *buf, size_t size)
{
    if (index < 0 || index >= ddc_get_num_stages(s))
        return 0;
    if (index == 0) {
        std::snprintf(buf, size, s->nco ? "NCO(32-bit phase)" : "NCO(16-bit table)");
        return 1;
    }
    return RateConverter_stage_label(s->rc, index - 1, buf, size);
}

double ddc_get_rate(const ddc_state_t *s)
{
    return RateConverter_get_rate(s->rc);
}

size_t ddc_execute_max_out(void)
{
    return 0;
}

} // extern "C"
