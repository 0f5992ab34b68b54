/*
 * Complex-input digital down-converter:
 *   x (complex, fs_in) * exp(+j*theta_k) (oscillator fused with the mixer)
 *     -> rate converter for rate -> y (complex, rate*fs_in)
 * Any positive ratio: below 1 it decimates, above 1 it interpolates, at 1 the
 * converter copies. The mix block lives in the state and only grows, and the
 * converter's scratch is reserved first, so a block that cannot get its memory
 * is not consumed at all.
 */
#include "ddc.h"
#include "ddc_internal.h"

#include "../rate/rate_converter.h"
#include "../rate/rate_converter_internal.h"
#include "../stages/lo.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

struct ddc_state {
    lo_state_t *lo;     // oscillator at fs_in, owned
    RateConverter *rc;  // converter for rate, owned; holds the rate
    cf32_t *mix;        // the mixed block
    size_t mix_cap;     // capacity of mix, complex samples
};

extern "C" {

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
        if (n_in > SIZE_MAX / sizeof(cf32_t))
            return -1;
        auto *m = static_cast<cf32_t *>(std::malloc(n_in * sizeof(cf32_t)));
        if (!m)
            return -1; // the old block stays; nothing consumed
        std::free(s->mix);
        s->mix = m;
        s->mix_cap = n_in;
    }
    if (RateConverter_reserve(s->rc, n_in) != 0)
        return -1;
    lo_mix(s->lo, in, n_in, s->mix);
    const size_t count = RateConverter_execute(s->rc, s->mix, n_in, out, cap);
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
    return RateConverter_capacity(s->rc, n_in);
}

void ddc_reset(ddc_state_t *s)
{
    lo_reset(s->lo);
    RateConverter_reset(s->rc);
}

void ddc_destroy(ddc_state_t *s)
{
    if (!s)
        return;
    lo_destroy(s->lo);
    RateConverter_destroy(s->rc);
    std::free(s->mix);
    std::free(s);
}

double ddc_get_norm_freq(const ddc_state_t *s)
{
    return lo_get_norm_freq(s->lo);
}

void ddc_set_norm_freq(ddc_state_t *s, double norm_freq)
{
    lo_set_norm_freq(s->lo, norm_freq);
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
