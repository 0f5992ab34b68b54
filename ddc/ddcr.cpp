/*
 * Real-input digital down-converter:
 *   x (real, fs_in) -> half-band R2C decimator (2:1, fs_in/4 shift) -> A
 *   A[k] *= exp(+j*theta_k)   (oscillator fused with the mixer, at fs_in/2)
 *   A -> rate converter for 2*rate -> y (complex, rate*fs_in)
 * Every stage keeps its history between calls, so any block split gives the
 * same bytes. The scratch block lives in the state and only grows, and the
 * converter's own scratch is reserved before the decimator runs: a block
 * either finds all its memory up front or is not consumed at all.
 */
#include "ddcr.h"
#include "ddcr_internal.h"

#include "../rate/rate_converter.h"
#include "../rate/rate_converter_internal.h"
#include "../stages/hbdecim_r2c.h"
#include "../stages/lo.h"

#include <cstdint>
#include <cstdlib>

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
    lo_state_t *lo;           // oscillator at fs_in/2, owned
    RateConverter *rc;        // converter for 2*rate, owned
    double rate;              // fs_out / fs_in as given at creation
    cf32_t *scratch;          // decimator output of the current block, mixed in place
    size_t scratch_cap;       // capacity of scratch, complex samples
};

namespace {

// Grows the scratch block to at least n samples; the old one stays on failure.
int _reserve(ddcr_state *s, size_t n)
{
    if (s->scratch_cap >= n)
        return 0;
    if (n > SIZE_MAX / sizeof(cf32_t))
        return -1;
    auto *a = static_cast<cf32_t *>(std::malloc(n * sizeof(cf32_t)));
    if (!a)
        return -1;
    std::free(s->scratch);
    s->scratch = a;
    s->scratch_cap = n;
    return 0;
}

} // namespace

extern "C" {

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
    // The decimator writes at most floor(n_in/2) + 1 samples (with a held-over one).
    const size_t m_max = n_in / 2 + 1;
    if (_reserve(s, m_max + 1) != 0 || RateConverter_reserve(s->rc, m_max) != 0)
        return -1;
    const size_t m = hbdecim_r2c_execute(s->r2c, in, n_in, s->scratch, m_max + 1);
    if (m == 0)
        return 0; // the odd sample waits for the next call
    lo_mix(s->lo, s->scratch, m, s->scratch);
    const size_t count = RateConverter_execute(s->rc, s->scratch, m, out, cap);
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

void ddcr_reset(ddcr_state_t *s)
{
    hbdecim_r2c_reset(s->r2c);
    lo_reset(s->lo);
    RateConverter_reset(s->rc);
}

void ddcr_destroy(ddcr_state_t *s)
{
    if (!s)
        return;
    hbdecim_r2c_destroy(s->r2c);
    lo_destroy(s->lo);
    RateConverter_destroy(s->rc);
    std::free(s->scratch);
    std::free(s);
}

double ddcr_get_norm_freq(const ddcr_state_t *s)
{
    return lo_get_norm_freq(s->lo);
}

void ddcr_set_norm_freq(ddcr_state_t *s, double norm_freq)
{
    lo_set_norm_freq(s->lo, norm_freq);
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
