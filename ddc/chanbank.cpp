/*
 * Channel bank.
 *
 *   x -> [real: half-band R2C, 2:1 with the fs/4 shift] -> s (complex, fs_i)
 *   s -> per time-domain channel: fine oscillator -> designed converter
 *   s -> window of L samples, every D new ones: FFT_L (shared)
 *        -> per fast-convolution channel: B = L/V bins around bin k0 times the
 *           channel filter's response, IFFT_B, the D/V valid outputs, the fine
 *           oscillator, a designed converter for the remaining ratio.
 *
 * The input is cut into chunks of kChunk samples of s, so every scratch
 * buffer has a fixed size reserved when the bank or a channel is made.
 *
 * Fast convolution. With window start n0 (index of s), the IFFT gives, at
 * window position i = V*r (i >= L - D, where the circular convolution is the
 * linear one), sum_p h[p] s[n0+i-p] e^{-j 2 pi k0 (i-p)/L}. Multiplying by
 * e^{-j 2 pi k0 n0 / L} turns that into the mix by k0/L at absolute time, and
 * the fine oscillator adds the rest of the carrier, delta = g - k0/L (at most
 * half a bin, which the filter's pass band is widened by; the phase that
 * mixing after the filter adds, delta times its delay, is taken back). L is 2^16, so the
 * block's turn is an exact 32-bit phase, added to the oscillator's own.
 * The filter h is a Kaiser-windowed low-pass at the rate of s: pass band up to
 * 0.4 fs_out + half a bin, stop band from half the decimated rate less half a
 * bin; bins beyond that are not taken at all. The designed converter after it
 * rejects what lies between its 0.6 fs_out and the decimated Nyquist.
 */
#include "chanbank.h"

#include "ddcr_internal.h"
#include "fft.h"

#include "../design/kaiser.h"
#include "../rate/rate_converter.h"
#include "../rate/rate_converter_internal.h"
#include "../rate/rate_design.h"
#include "../stages/hbdecim_r2c.h"
#include "../stages/nco.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLogL = 16;
constexpr size_t kL = size_t(1) << kLogL;     // FFT size
constexpr size_t kOverlap = 8192;             // L - D: longest filter is kOverlap + 1 taps
constexpr size_t kD = kL - kOverlap;          // new samples per FFT block
constexpr size_t kMaxV = kOverlap;            // V divides L - D
constexpr size_t kChunk = 4096;               // samples of s per pass
constexpr double kMaxDecimRate = 0.95;        // rate * V below this: the converter decimates
constexpr double kPi = 3.141592653589793;

struct Chan {
    int id;
    int path;          // CHANBANK_PATH_TIME or CHANBANK_PATH_FFT
    double carrier, rate, atten;
    nco_state_t *nco;
    RateConverter *rc;
    // An AUTO channel no sample has reached yet holds both paths (the other
    // converter here) so that later adds may still move it; see _decide.
    RateConverter *alt;
    bool pending;
    double td_cost, fft_cost;
    // fast convolution
    size_t v, b, k0;   // decimation, bins, centre bin
    size_t taps;       // filter length, odd
    cf32_t *h;         // b bins of the filter response, 1/L included
    cf32_t *buf, *work; // IFFT buffers, b each
    uint32_t fine;     // oscillator phase of the next output, block turns left out
    uint32_t shift;    // delta times the filter's delay: the fine mix comes after the filter
    double cost;
};

void _chan_free(Chan *c)
{
    if (!c)
        return;
    nco_destroy(c->nco);
    RateConverter_destroy(c->rc);
    RateConverter_destroy(c->alt);
    std::free(c->h);
    std::free(c->buf);
    std::free(c->work);
    std::free(c);
}

double _fft_cost(size_t n)
{
    // Real multiply-adds of a complex FFT, about 2.5 n log2 n.
    return n < 2 ? 0.0 : 2.5 * static_cast<double>(n) * std::log2(static_cast<double>(n));
}

double _bessel_i0(double x)
{
    double sum = 1.0, term = 1.0;
    const double q = 0.25 * x * x;
    for (int k = 1; k < 200; ++k) {
        term *= q / (static_cast<double>(k) * static_cast<double>(k));
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

// Filter length for the transition [fp, fst] (cycles per sample), odd.
size_t _kaiser_len(double atten, double fp, double fst)
{
    const double w = fst - fp;
    if (!(w > 0.0))
        return SIZE_MAX;
    const double t = std::ceil((atten - 8.0) / (14.357078426905355 * w)) + 1.0;
    if (!(t < 1e9))
        return SIZE_MAX;
    return static_cast<size_t>(t) | 1u;
}

// Fast-convolution geometry for a channel at rate_s (fs_out / fs_i): the
// largest decimation that leaves the filter within the overlap.
bool _fft_geometry(double rate_s, double atten, size_t *v_out, size_t *taps_out)
{
    const double half_bin = 0.5 / static_cast<double>(kL);
    for (size_t v = kMaxV; v >= 2; v /= 2) {
        if (!(rate_s * static_cast<double>(v) < kMaxDecimRate))
            continue;
        const double fp = 0.4 * rate_s + half_bin;
        const double fst = 0.5 / static_cast<double>(v) - half_bin;
        const size_t taps = _kaiser_len(atten + DESIGN_HB_MARGIN_DB, fp, fst);
        if (taps <= kOverlap + 1) {
            *v_out = v;
            *taps_out = taps;
            return true;
        }
    }
    return false;
}

} // namespace

struct chanbank {
    int complex_input;
    double atten, max_rate;
    hbdecim_r2c_state_t *r2c; // real input only
    size_t r2c_taps;
    unsigned held;            // a real sample waiting for its pair
    cf32_t *inner;            // one chunk of s (real input)
    cf32_t *mix;              // one chunk mixed, for a time-domain channel
    cf32_t *win;              // the last L samples of s: L - D history, then fill new
    cf32_t *fa, *fb;          // the FFT's two buffers
    size_t fill;
    uint64_t t_next;          // index in s of the next sample
    fft_plan_t big;
    fft_plan_t small[kLogL];  // IFFT plans by log2(B), made when first needed
    Chan **chans;             // by increasing id
    size_t n, cap;
    int next_id;
    size_t n_fft;             // channels on the FFT path
};

namespace {

Chan *_find(const chanbank *b, int id)
{
    size_t lo = 0, hi = b->n;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (b->chans[mid]->id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < b->n && b->chans[lo]->id == id ? b->chans[lo] : nullptr;
}

bool _carrier_ok(const chanbank *b, double c)
{
    return b->complex_input ? (c >= -0.5 && c <= 0.5) : (c >= 0.0 && c <= 0.5);
}

// Carrier in s, cycles per sample in [0, 1): the R2C puts a real carrier f at 2f - 0.5.
double _carrier_s(const chanbank *b, double c)
{
    double g = b->complex_input ? c : 2.0 * c + 0.5;
    g -= std::floor(g);
    return g >= 1.0 ? 0.0 : g;
}

double _rate_s(const chanbank *b, double rate)
{
    return b->complex_input ? rate : 2.0 * rate;
}

// Oscillator setting and centre bin of a fast-convolution channel.
void _fft_tune(const chanbank *b, Chan *c)
{
    const double g = _carrier_s(b, c->carrier);
    size_t k0 = static_cast<size_t>(std::llround(g * static_cast<double>(kL)));
    const double delta = g - static_cast<double>(k0) / static_cast<double>(kL);
    c->k0 = k0 & (kL - 1);
    nco_set_norm_freq(c->nco, -delta * static_cast<double>(c->v));
    // Mixing by delta after the filter instead of before moves its linear
    // phase by delta * delay cycles; turned back here.
    const double turn = delta * static_cast<double>(c->taps / 2) * 4294967296.0;
    c->shift = static_cast<uint32_t>(static_cast<int64_t>(std::llround(turn)));
}

// The filter's response at bins -B/2 .. B/2 - 1 (IFFT order), scaled by 1/L.
int _fft_filter(Chan *c, double rate_s)
{
    const size_t taps = c->taps, half = taps / 2, v = c->v, nb = c->b;
    const double half_bin = 0.5 / static_cast<double>(kL);
    const double fp = 0.4 * rate_s + half_bin;
    const double fst = 0.5 / static_cast<double>(v) - half_bin;
    const double fc = 0.5 * (fp + fst);
    const double beta = kaiser_beta(c->atten + DESIGN_HB_MARGIN_DB);
    auto *h = static_cast<double *>(std::malloc((half + 1) * sizeof(double)));
    auto *cs = static_cast<double *>(std::malloc(kL * sizeof(double)));
    if (!h || !cs) {
        std::free(h);
        std::free(cs);
        return -1;
    }
    // Centre and one side of the symmetric filter, unit gain at 0.
    const double i0b = _bessel_i0(beta);
    double sum = 0.0;
    for (size_t i = 0; i <= half; ++i) {
        const double t = static_cast<double>(i);
        const double sinc = i == 0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * t) / (kPi * t);
        const double u = half ? t / static_cast<double>(half) : 0.0;
        const double w = _bessel_i0(beta * std::sqrt(std::fmax(0.0, 1.0 - u * u))) / i0b;
        h[i] = sinc * w;
        sum += i == 0 ? h[i] : 2.0 * h[i];
    }
    for (size_t i = 0; i < kL; ++i)
        cs[i] = std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(kL));
    const double scale = 1.0 / (sum * static_cast<double>(kL));
    for (size_t k = 0; k < nb; ++k) {
        // Offset in bins from the carrier: k, or k - B for the upper half.
        const size_t m = (k < nb / 2 ? k : kL - (nb - k)) & (kL - 1);
        double a = h[0];
        for (size_t i = 1; i <= half; ++i)
            a += 2.0 * h[i] * cs[(m * i) & (kL - 1)];
        // Linear phase of the centre tap at half: e^{-j 2 pi m half / L}.
        const size_t ph = (m * half) & (kL - 1);
        const double re = cs[ph], im = -cs[(ph + 3 * kL / 4) & (kL - 1)]; // sin = cos(x - pi/2)
        c->h[k] = cf32_t{static_cast<float>(a * scale * re), static_cast<float>(a * scale * im)};
    }
    std::free(h);
    std::free(cs);
    return 0;
}

// Per input sample of the bank (not of s).
double _per_input(const chanbank *b)
{
    return b->complex_input ? 1.0 : 0.5;
}

double _td_cost(const chanbank *b, const RateConverter *rc)
{
    return _per_input(b) * (8.0 + RateConverter_get_cost(rc));
}

double _fft_chan_cost(const chanbank *b, size_t v, size_t nb, double rc_cost)
{
    const double d = static_cast<double>(kD);
    const double per_s = (4.0 * static_cast<double>(nb) + _fft_cost(nb) +
                          8.0 * static_cast<double>(kD / v)) / d +
                         rc_cost / static_cast<double>(v);
    return _per_input(b) * per_s;
}

double _shared_fft_cost(const chanbank *b)
{
    return _per_input(b) * (_fft_cost(kL) + static_cast<double>(kL)) / static_cast<double>(kD);
}

void _block(chanbank *b, cf32_t *const *outs, const size_t *caps, size_t *counts)
{
    if (b->n_fft) {
        std::memcpy(b->fa, b->win, kL * sizeof(cf32_t));
        const cf32_t *spec = fft_exec(&b->big, b->fa, b->fb, 0);
        // Window start n0 = t_next - L, so n0 mod L = t_next mod L.
        const uint64_t n0 = b->t_next & (kL - 1);
        for (size_t i = 0; i < b->n; ++i) {
            Chan *c = b->chans[i];
            if (c->path != CHANBANK_PATH_FFT)
                continue;
            fft_gather_mul(spec, kL - 1, c->k0, c->h, c->b, c->buf);
            int lb = 0;
            while ((size_t(1) << lb) < c->b)
                ++lb;
            cf32_t *t = fft_exec(&b->small[lb], c->buf, c->work, 1);
            cf32_t *seg = t + kOverlap / c->v;
            const size_t cnt = kD / c->v;
            const uint32_t turn = static_cast<uint32_t>((kL - ((c->k0 * n0) & (kL - 1))) & (kL - 1))
                                  << (32 - kLogL);
            nco_set_phase(c->nco, turn + c->fine + c->shift);
            nco_mix(c->nco, seg, cnt, seg);
            c->fine += nco_get_phase_inc(c->nco) * static_cast<uint32_t>(cnt);
            counts[i] += RateConverter_execute(c->rc, seg, cnt, outs[i] + counts[i],
                                               caps[i] - counts[i]);
        }
    }
    std::memmove(b->win, b->win + kD, kOverlap * sizeof(cf32_t));
    b->fill = 0;
}

void _feed(chanbank *b, const cf32_t *s, size_t m, cf32_t *const *outs, const size_t *caps,
           size_t *counts)
{
    for (size_t i = 0; i < b->n; ++i) {
        Chan *c = b->chans[i];
        if (c->path != CHANBANK_PATH_TIME)
            continue;
        nco_mix(c->nco, s, m, b->mix);
        counts[i] += RateConverter_execute(c->rc, b->mix, m, outs[i] + counts[i],
                                           caps[i] - counts[i]);
    }
    size_t j = 0;
    while (j < m) {
        const size_t take = m - j < kD - b->fill ? m - j : kD - b->fill;
        std::memcpy(b->win + kOverlap + b->fill, s + j, take * sizeof(cf32_t));
        b->fill += take;
        b->t_next += take;
        j += take;
        if (b->fill == kD)
            _block(b, outs, caps, counts);
    }
}

// Puts a channel on a path (its converter, oscillator and cost). Only a
// pending channel changes path, before any sample has reached it.
void _use(chanbank *b, Chan *c, int path)
{
    if (path != c->path) {
        RateConverter *t = c->rc;
        c->rc = c->alt;
        c->alt = t;
        b->n_fft += path == CHANBANK_PATH_FFT ? 1 : size_t(-1);
        c->path = path;
    }
    if (path == CHANBANK_PATH_FFT) {
        c->cost = c->fft_cost;
        _fft_tune(b, c);
    } else {
        c->cost = c->td_cost;
        nco_set_norm_freq(c->nco, b->complex_input ? -c->carrier : -(2.0 * c->carrier + 0.5));
    }
}

// Paths of the pending AUTO channels, for the cheapest whole set: with the
// shared FFT already run for a settled channel each takes its cheaper path;
// otherwise all of them take the time domain, or the FFT is run and each
// takes its cheaper path, whichever costs less. The settled time-domain
// channels count on the time domain's side (ski rental: once the time domain
// has cost what the FFT would, the FFT is bought for the channels to come).
void _decide(chanbank *b)
{
    bool shared = false, any = false;
    double td = 0.0, mixed = _shared_fft_cost(b);
    for (size_t i = 0; i < b->n; ++i) {
        const Chan *c = b->chans[i];
        if (!c->pending) {
            shared = shared || c->path == CHANBANK_PATH_FFT;
            td += c->cost;
            continue;
        }
        any = true;
        td += c->td_cost;
        mixed += c->fft_cost < c->td_cost ? c->fft_cost : c->td_cost;
    }
    if (!any)
        return;
    const bool fft = shared || mixed < td;
    for (size_t i = 0; i < b->n; ++i) {
        Chan *c = b->chans[i];
        if (c->pending)
            _use(b, c, fft && c->fft_cost < c->td_cost ? CHANBANK_PATH_FFT : CHANBANK_PATH_TIME);
    }
}

// The first samples fix every pending channel's path; what it no longer needs goes.
void _settle(chanbank *b)
{
    for (size_t i = 0; i < b->n; ++i) {
        Chan *c = b->chans[i];
        if (!c->pending)
            continue;
        c->pending = false;
        RateConverter_destroy(c->alt);
        c->alt = nullptr;
        if (c->path == CHANBANK_PATH_TIME) {
            std::free(c->h);
            std::free(c->buf);
            std::free(c->work);
            c->h = c->buf = c->work = nullptr;
        }
    }
}

bool _args_ok(const chanbank *b, size_t n_in, const void *in, cf32_t *const *outs,
              const size_t *caps, const size_t *counts)
{
    if (n_in && !in)
        return false;
    if (b->n && (!outs || !caps || !counts))
        return false;
    return true;
}

// The start of either execute once its input kind is checked: false for bad
// arguments, otherwise the channel set settled and the counts cleared.
bool _begin(chanbank *b, size_t n_in, const void *in, cf32_t *const *outs, const size_t *caps,
            size_t *counts)
{
    if (!_args_ok(b, n_in, in, outs, caps, counts))
        return false;
    if (n_in)
        _settle(b);
    for (size_t i = 0; i < b->n; ++i)
        counts[i] = 0;
    return true;
}

} // namespace

extern "C" {

chanbank_t *chanbank_create(int complex_input, double atten_db, double max_rate)
{
    if (!(atten_db >= DDC_ATTEN_MIN && atten_db <= DDC_ATTEN_MAX))
        return nullptr;
    if (complex_input ? !(max_rate > 0x1p-32 && max_rate < 0x1p31)
                      : !(max_rate > 0.0 && max_rate < 0.5))
        return nullptr;
    auto *b = static_cast<chanbank *>(std::calloc(1, sizeof(chanbank)));
    if (!b)
        return nullptr;
    b->complex_input = complex_input ? 1 : 0;
    b->atten = atten_db;
    b->max_rate = max_rate;
    bool ok = true;
    if (!b->complex_input) {
        // The designed DDCR's carrier-independent first stage, for the largest rate.
        b->r2c = ddcr_design_r2c(atten_db, design_r2c_delta(max_rate));
        b->r2c_taps = b->r2c ? hbdecim_r2c_get_num_taps(b->r2c) : 0;
        b->inner = static_cast<cf32_t *>(std::malloc((kChunk + 2) * sizeof(cf32_t)));
        ok = b->r2c && b->inner;
    }
    b->mix = ok ? static_cast<cf32_t *>(std::malloc((kChunk + 2) * sizeof(cf32_t))) : nullptr;
    b->win = b->mix ? static_cast<cf32_t *>(std::calloc(kL, sizeof(cf32_t))) : nullptr;
    b->fa = b->win ? static_cast<cf32_t *>(std::malloc(kL * sizeof(cf32_t))) : nullptr;
    b->fb = b->fa ? static_cast<cf32_t *>(std::malloc(kL * sizeof(cf32_t))) : nullptr;
    if (!b->fb || fft_plan_init(&b->big, kL) != 0) {
        chanbank_destroy(b);
        return nullptr;
    }
    return b;
}

void chanbank_destroy(chanbank_t *b)
{
    if (!b)
        return;
    for (size_t i = 0; i < b->n; ++i)
        _chan_free(b->chans[i]);
    std::free(b->chans);
    hbdecim_r2c_destroy(b->r2c);
    std::free(b->inner);
    std::free(b->mix);
    std::free(b->win);
    std::free(b->fa);
    std::free(b->fb);
    fft_plan_free(&b->big);
    for (auto &p : b->small)
        fft_plan_free(&p);
    std::free(b);
}

void chanbank_reset(chanbank_t *b)
{
    if (!b)
        return;
    if (b->r2c)
        hbdecim_r2c_reset(b->r2c);
    b->held = 0;
    std::memset(b->win, 0, kL * sizeof(cf32_t));
    b->fill = 0;
    b->t_next = 0;
    for (size_t i = 0; i < b->n; ++i) {
        Chan *c = b->chans[i];
        nco_reset(c->nco);
        RateConverter_reset(c->rc);
        c->fine = 0;
    }
}

int chanbank_is_complex(const chanbank_t *b)
{
    return b ? b->complex_input : 0;
}

double chanbank_get_atten_db(const chanbank_t *b)
{
    return b ? b->atten : NAN;
}

double chanbank_get_max_rate(const chanbank_t *b)
{
    return b ? b->max_rate : NAN;
}

int chanbank_add(chanbank_t *b, double carrier, double rate, double atten_db, int path)
{
    if (!b || !_carrier_ok(b, carrier) || !(rate > 0.0 && rate <= b->max_rate) ||
        !(atten_db >= DDC_ATTEN_MIN && atten_db <= b->atten) ||
        !(path == CHANBANK_PATH_AUTO || path == CHANBANK_PATH_TIME || path == CHANBANK_PATH_FFT) ||
        b->next_id == INT_MAX)
        return -1;
    const double rate_s = _rate_s(b, rate);
    size_t v = 0, taps = 0;
    const bool fft_ok = _fft_geometry(rate_s, atten_db, &v, &taps);
    if (path == CHANBANK_PATH_FFT && !fft_ok)
        return -1;
    if (b->n == b->cap) {
        const size_t cap = b->cap ? 2 * b->cap : 8;
        auto *a = static_cast<Chan **>(std::realloc(b->chans, cap * sizeof(Chan *)));
        if (!a)
            return -1;
        b->chans = a;
        b->cap = cap;
    }
    auto *c = static_cast<Chan *>(std::calloc(1, sizeof(Chan)));
    if (!c)
        return -1;
    c->carrier = carrier;
    c->rate = rate;
    c->atten = atten_db;
    const bool want_td = path != CHANBANK_PATH_FFT;
    const bool want_fft = path != CHANBANK_PATH_TIME && fft_ok;
    RateConverter *td_rc = nullptr, *fft_rc = nullptr;
    bool new_plan = false;
    int lb = 0;
    bool ok = true;
    if (want_td) {
        td_rc = RateConverter_create_designed(rate_s, atten_db);
        ok = td_rc && RateConverter_reserve(td_rc, kChunk + 1) == 0;
        if (td_rc)
            c->td_cost = _td_cost(b, td_rc);
    }
    if (ok && want_fft) {
        fft_rc = RateConverter_create_designed(rate_s * static_cast<double>(v), atten_db);
        ok = fft_rc && RateConverter_reserve(fft_rc, kD / v) == 0;
        c->v = v;
        c->b = kL / v;
        c->taps = taps;
        while ((size_t(1) << lb) < c->b)
            ++lb;
        // A plan made here goes again if the add fails: the bank stays as it was.
        new_plan = b->small[lb].n == 0;
        ok = ok && (!new_plan || fft_plan_init(&b->small[lb], c->b) == 0);
        c->h = ok ? static_cast<cf32_t *>(std::malloc(c->b * sizeof(cf32_t))) : nullptr;
        c->buf = c->h ? static_cast<cf32_t *>(std::malloc(c->b * sizeof(cf32_t))) : nullptr;
        c->work = c->buf ? static_cast<cf32_t *>(std::malloc(c->b * sizeof(cf32_t))) : nullptr;
        ok = c->work && _fft_filter(c, rate_s) == 0;
        if (fft_rc)
            c->fft_cost = _fft_chan_cost(b, v, c->b, RateConverter_get_cost(fft_rc));
    }
    c->nco = ok ? nco_create(0.0) : nullptr;
    if (!c->nco) {
        if (new_plan && b->small[lb].n)
            fft_plan_free(&b->small[lb]);
        RateConverter_destroy(td_rc);
        RateConverter_destroy(fft_rc);
        _chan_free(c);
        return -1;
    }
    c->pending = want_td && want_fft;
    c->path = want_fft ? CHANBANK_PATH_FFT : CHANBANK_PATH_TIME;
    c->rc = want_fft ? fft_rc : td_rc;
    c->alt = want_fft ? td_rc : nullptr;
    c->id = b->next_id++;
    b->chans[b->n++] = c;
    if (c->path == CHANBANK_PATH_FFT)
        ++b->n_fft;
    _use(b, c, c->path);
    _decide(b);
    return c->id;
}

int chanbank_remove(chanbank_t *b, int id)
{
    Chan *c = b ? _find(b, id) : nullptr;
    if (!c)
        return -1;
    size_t i = 0;
    while (b->chans[i] != c)
        ++i;
    std::memmove(b->chans + i, b->chans + i + 1, (b->n - i - 1) * sizeof(Chan *));
    --b->n;
    if (c->path == CHANBANK_PATH_FFT)
        --b->n_fft;
    _chan_free(c);
    _decide(b);
    return 0;
}

int chanbank_retune(chanbank_t *b, int id, double carrier)
{
    Chan *c = b ? _find(b, id) : nullptr;
    if (!c || !_carrier_ok(b, carrier))
        return -1;
    c->carrier = carrier;
    _use(b, c, c->path);
    return 0;
}

size_t chanbank_num_channels(const chanbank_t *b)
{
    return b ? b->n : 0;
}

int chanbank_channel_id(const chanbank_t *b, size_t index)
{
    return b && index < b->n ? b->chans[index]->id : -1;
}

int chanbank_channel_info(const chanbank_t *b, int id, double *carrier, double *rate,
                          double *atten_db, int *path)
{
    const Chan *c = b ? _find(b, id) : nullptr;
    if (!c)
        return -1;
    if (carrier)
        *carrier = c->carrier;
    if (rate)
        *rate = c->rate;
    if (atten_db)
        *atten_db = c->atten;
    if (path)
        *path = c->path;
    return 0;
}

double chanbank_get_delay(const chanbank_t *b, int id)
{
    const Chan *c = b ? _find(b, id) : nullptr;
    if (!c)
        return NAN;
    const double rate_s = _rate_s(b, c->rate);
    double d = RateConverter_get_delay(c->rc);
    if (c->path == CHANBANK_PATH_FFT)
        d += static_cast<double>(c->taps / 2) * rate_s;
    if (!b->complex_input)
        d += static_cast<double>(b->r2c_taps - 1) * c->rate;
    return d;
}

double chanbank_get_cost(const chanbank_t *b, int id)
{
    const Chan *c = b ? _find(b, id) : nullptr;
    return c ? c->cost : NAN;
}

double chanbank_get_shared_cost(const chanbank_t *b)
{
    if (!b)
        return NAN;
    const double r2c =
        b->complex_input ? 0.0 : 0.5 * static_cast<double>(hbdecim_r2c_get_num_taps(b->r2c) / 2 + 1);
    return r2c + (b->n_fft ? _shared_fft_cost(b) : 0.0);
}

size_t chanbank_capacity(const chanbank_t *b, int id, size_t n_in)
{
    const Chan *c = b ? _find(b, id) : nullptr;
    if (!c || n_in == 0)
        return 0;
    const size_t m = b->complex_input ? n_in : n_in / 2 + (b->held && (n_in & 1) ? 1 : 0);
    if (c->path == CHANBANK_PATH_TIME)
        return RateConverter_execute_capacity(c->rc, m);
    const size_t blocks = m / kD + (b->fill + m % kD) / kD;
    return blocks ? RateConverter_execute_capacity(c->rc, blocks * (kD / c->v)) : 0;
}

int chanbank_execute(chanbank_t *b, const float *in, size_t n_in, cf32_t *const *outs,
                     const size_t *caps, size_t *counts)
{
    if (!b || b->complex_input || !_begin(b, n_in, in, outs, caps, counts))
        return -1;
    size_t pos = 0;
    while (pos < n_in) {
        const size_t take = n_in - pos < 2 * kChunk ? n_in - pos : 2 * kChunk;
        const size_t m = hbdecim_r2c_execute(b->r2c, in + pos, take, b->inner, kChunk + 2);
        b->held = (b->held + take) & 1u;
        pos += take;
        if (m)
            _feed(b, b->inner, m, outs, caps, counts);
    }
    return 0;
}

int chanbank_execute_complex(chanbank_t *b, const cf32_t *in, size_t n_in, cf32_t *const *outs,
                             const size_t *caps, size_t *counts)
{
    if (!b || !b->complex_input || !_begin(b, n_in, in, outs, caps, counts))
        return -1;
    size_t pos = 0;
    while (pos < n_in) {
        const size_t take = n_in - pos < kChunk ? n_in - pos : kChunk;
        _feed(b, in + pos, take, outs, caps, counts);
        pos += take;
    }
    return 0;
}

} // extern "C"
