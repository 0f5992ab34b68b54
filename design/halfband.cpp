/*
 * Half-band by the window method: h[d] = w(d) sin(pi d / 2) / (pi d) at the
 * odd distances d = 1, 3, ..., 2h - 1 from the 0.5 centre tap, w a Kaiser
 * window reaching +-2h (where the half-band taps are zero anyway). The
 * branch is scaled so that its taps sum to 0.5 exactly (unit gain at DC,
 * 0.5 at a quarter of the rate), which keeps the half-band symmetry
 * H(f) + H(0.5 - f) = 1: the pass-band ripple mirrors the stop band.
 *
 * Kaiser's length estimate N - 1 = 4h = (A - 7.95) / (14.36 * 2 delta) misses
 * by up to 10 dB for short filters, so the length is settled by evaluating
 * the stop band on a dense grid, starting one below the estimate. Where an
 * equiripple (Remez) branch with 20 dB to spare is shorter, it is taken
 * instead. Designs are remembered per process (read-only once made), so a
 * repeated plan is cheap.
 */
#include "halfband.h"
#include "halfband_internal.h"
#include "kaiser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

// I0 by its power series, to full double precision.
extern "C" double design_i0(double x)
{
    const double q = 0.25 * x * x;
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 500; ++k) {
        term *= q / (static_cast<double>(k) * k);
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxCoeffs = 1u << 16; // far past anything a plan asks for

// Branch of h values, outermost first, at their tap weight (one side).
void _branch(double beta, size_t h, std::vector<double> &t)
{
    t.assign(h, 0.0);
    const double half = static_cast<double>(2 * h);
    const double inv_i0 = 1.0 / design_i0(beta);
    double sum = 0.0;
    for (size_t k = 0; k < h; ++k) {
        const size_t j = h - 1 - k; // d = 2j + 1
        const double d = static_cast<double>(2 * j + 1);
        const double r = d / half;
        const double w = design_i0(beta * std::sqrt(1.0 - r * r)) * inv_i0;
        t[k] = (j % 2 == 0 ? w : -w) / (kPi * d);
        sum += t[k];
    }
    const double scale = 0.25 / sum; // both sides add up to 0.5
    for (double &v : t)
        v *= scale;
}

// Largest |H(f)| over the stop band [0.25 + delta, 0.5] on a grid of 16 points
// per branch value; cos(m theta) by the Chebyshev recurrence.
double _stop_peak(const std::vector<double> &t, double delta)
{
    const size_t h = t.size();
    const size_t grid = 16 * h + 16;
    double peak = 0.0;
    for (size_t g = 0; g <= grid; ++g) {
        const double f = 0.25 + delta + (0.25 - delta) * static_cast<double>(g) / grid;
        const double c1 = std::cos(2.0 * kPi * f);
        double prev = 1.0, cur = c1, H = 0.5; // cos(0), cos(theta)
        for (size_t m = 1; m <= 2 * h - 1; m += 2) {
            H += 2.0 * t[h - 1 - (m - 1) / 2] * cur;
            const double next = 2.0 * c1 * cur - prev; // cos((m+1) theta)
            prev = cur;
            cur = 2.0 * c1 * next - prev;               // cos((m+2) theta)
            prev = next;
        }
        peak = std::fmax(peak, std::fabs(H));
    }
    return peak;
}

// Equiripple branch of h values for pass band [0, 0.25 - delta] by the Remez
// exchange. With x = cos(2 pi f), H(f) - 1 = x q(x^2) - 0.5 for a polynomial q
// of degree h - 1, so q is the weighted best approximation of 0.5 / sqrt(y)
// (weight sqrt(y)) on y = x^2 in [cos^2(2 pi fp), 1]; q is kept in barycentric
// form (as Parks and McClellan do), which stays well conditioned where a
// solved cosine system does not. The half-band symmetry H(f) + H(0.5 - f) = 1
// makes the stop band the mirror of the pass band, so its peak equals the
// pass ripple. Returns that ripple, or -1 when the exchange does not settle.
double _remez(double delta, size_t h, std::vector<double> &t)
{
    const double fp = 0.25 - delta;
    const size_t G = 24 * h + 64;
    const size_t n = h + 1; // reference points
    std::vector<double> y(G + 1), err(G + 1), a(n), c(n), w(n);
    for (size_t g = 0; g <= G; ++g) {
        const double x = std::cos(2.0 * kPi * fp * static_cast<double>(g) / static_cast<double>(G));
        y[g] = x * x;
    }
    const double scale = 2.0 / (y[0] - y[G] > 0 ? y[0] - y[G] : 1.0);
    std::vector<size_t> ref(n), ext;
    for (size_t i = 0; i < n; ++i) // denser towards the band edge, as the extrema fall
        ref[i] = static_cast<size_t>(std::lround(G * std::sin(0.5 * kPi * i / h)));
    std::vector<double> yr(n);
    auto weights = [&](size_t m, std::vector<double> &out) {
        for (size_t i = 0; i < m; ++i) {
            double p = 1.0;
            for (size_t j = 0; j < m; ++j)
                if (j != i)
                    p *= scale * (yr[i] - yr[j]);
            out[i] = 1.0 / p;
        }
    };
    // q through the first h reference points with values c, at any y.
    auto q = [&](double v) {
        double num = 0.0, den = 0.0;
        for (size_t i = 0; i < h; ++i) {
            const double d = v - yr[i];
            if (d == 0.0)
                return c[i];
            num += w[i] * c[i] / d;
            den += w[i] / d;
        }
        return num / den;
    };
    double ripple = -1.0;
    for (int it = 0; it < 60; ++it) {
        for (size_t i = 0; i < n; ++i)
            yr[i] = y[ref[i]];
        weights(n, a);
        double num = 0.0, den = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double sq = std::sqrt(yr[i]);
            num += a[i] * 0.5 / sq;
            den += a[i] * ((i % 2) ? -1.0 : 1.0) / sq;
        }
        const double level = num / den; // signed ripple at the reference
        if (!std::isfinite(level))
            return -1.0;
        for (size_t i = 0; i < h; ++i) {
            const double sq = std::sqrt(yr[i]);
            c[i] = (0.5 - ((i % 2) ? -level : level)) / sq;
        }
        weights(h, w);
        double peak = 0.0;
        for (size_t g = 0; g <= G; ++g) {
            err[g] = std::sqrt(y[g]) * q(y[g]) - 0.5;
            peak = std::fmax(peak, std::fabs(err[g]));
        }
        if (!std::isfinite(peak))
            return -1.0;
        ripple = peak;
        if (peak - std::fabs(level) <= 1e-6 * peak)
            break;
        // New reference: the extrema, alternating in sign, the larger of equal neighbours.
        ext.clear();
        for (size_t g = 0; g <= G; ++g) {
            const double e = err[g];
            const double l = g > 0 ? err[g - 1] : (e > 0 ? -INFINITY : INFINITY);
            const double r = g < G ? err[g + 1] : (e > 0 ? -INFINITY : INFINITY);
            if (!((e > 0 && e >= l && e >= r) || (e < 0 && e <= l && e <= r)))
                continue;
            if (!ext.empty() && (err[ext.back()] > 0) == (e > 0)) {
                if (std::fabs(e) > std::fabs(err[ext.back()]))
                    ext.back() = g;
            } else {
                ext.push_back(g);
            }
        }
        while (ext.size() > n) {
            if (std::fabs(err[ext.front()]) < std::fabs(err[ext.back()]))
                ext.erase(ext.begin());
            else
                ext.pop_back();
        }
        if (ext.size() < n)
            return -1.0;
        ref = ext;
    }
    // Cosine coefficients of x q(x^2) = sum_k b_k cos((2k + 1) theta), from
    // samples at M points: exact, the sum being a trigonometric polynomial of
    // degree 2h - 1 < M.
    const size_t M = 4 * h + 4;
    t.assign(h, 0.0);
    for (size_t m = 0; m < M; ++m) {
        const double th = kPi * (static_cast<double>(m) + 0.5) / static_cast<double>(M);
        const double x = std::cos(th);
        const double v = x * q(x * x);
        for (size_t k = 0; k < h; ++k)
            t[h - 1 - k] += v * std::cos(static_cast<double>(2 * k + 1) * th);
    }
    for (double &v : t)
        v *= 2.0 / static_cast<double>(M) * 0.5; // b_k, then the tap weight b_k / 2
    return ripple;
}

constexpr size_t kRemezMax = 40; // longer branches: the window method, nearly as short and far quicker to design

// The shortest equiripple branch whose ripple meets target; false when the
// exchange cannot give one of at most kRemezMax values.
bool _design_remez(double target, double delta, std::vector<double> &t)
{
    // Herrmann-style estimate for equal ripples: N - 1 = (-20 log10 e - 13) / (14.6 * 2 delta).
    const double a = -20.0 * std::log10(target);
    const double n_est = (a - 13.0) / (14.6 * 2.0 * delta) + 1.0;
    size_t h = n_est > 8.0 ? static_cast<size_t>(std::ceil((n_est + 1.0) / 4.0)) : 2;
    if (h > kRemezMax)
        return false;
    const size_t h0 = h;
    std::vector<double> best, cur;
    bool have = false;
    for (; h >= 1 && h + 8 > h0; --h) { // down while it still meets the target
        const double r = _remez(delta, h, cur);
        if (r < 0.0)
            continue; // the exchange did not settle at this length; a shorter one may
        if (r > target || _stop_peak(cur, delta) > target)
            break;
        best = cur;
        have = true;
    }
    if (!have) { // up until it does
        for (h = h0 + 1; h <= kRemezMax && h <= h0 + 8; ++h) {
            const double r = _remez(delta, h, cur);
            if (r >= 0.0 && r <= target && _stop_peak(cur, delta) <= target) {
                best = cur;
                have = true;
                break;
            }
        }
    }
    if (have)
        t = best;
    return have;
}

// The branch meeting the attenuation, or false for refused arguments: the
// window design, or the equiripple one where that is shorter (wide
// transitions, where the window method needs up to twice the taps). The
// equiripple ripple is held to 3e-4 (0.0026 dB) even at low attenuation, so a
// cascade of stages stays flat within 0.05 dB.
bool _design(double atten_db, double delta, bool equiripple, std::vector<double> &t)
{
    if (!(atten_db > 0.0 && atten_db <= 200.0) || !(delta > 0.0 && delta < 0.25))
        return false;
    const double target = std::pow(10.0, -atten_db / 20.0);
    const double beta = kaiser_beta(atten_db);
    const double est = std::ceil((atten_db - 7.95) / (14.36 * 2.0 * delta) / 4.0);
    if (!(est < static_cast<double>(kMaxCoeffs)))
        return false;
    size_t h = est > 2.0 ? static_cast<size_t>(est) - 1 : 1;
    try {
        for (;; ++h) {
            _branch(beta, h, t);
            if (_stop_peak(t, delta) <= target || h >= kMaxCoeffs || h > 2 * est + 8)
                break;
        }
        // 20 dB more than asked of an equiripple design: it sits at its peak
        // ripple everywhere, where a window design's falls away from the
        // transition. In the stop band, lines of tones folding close together
        // add up; in the pass band, the ripples of a cascade do, and a plan
        // must stay within its attenuation of another plan for the same
        // figures. Taken only when shorter than the window design.
        std::vector<double> eq;
        if (equiripple && t.size() > 2 && _design_remez(std::fmin(target * 0.1, 3e-4), delta, eq) &&
            eq.size() < t.size())
            t = eq;
        return true;
    } catch (...) {
        return false;
    }
}

// Designs already made in this process, so that creating the same plan again
// costs a lookup: a small pool in static storage (no heap, nothing to free),
// filled first come first served and then only read.
constexpr int kCacheSlots = 256;
constexpr size_t kCacheCoeffs = 128;
struct cached_t {
    double atten_db, delta;
    bool equiripple;
    size_t h;
    double t[kCacheCoeffs];
};
cached_t g_cache[kCacheSlots];
int g_cached = 0;
std::mutex g_cache_lock;

bool _lookup(double atten_db, double delta, bool equiripple, std::vector<double> &t)
{
    std::lock_guard<std::mutex> guard(g_cache_lock);
    for (int i = 0; i < g_cached; ++i) {
        const cached_t &c = g_cache[i];
        if (c.atten_db == atten_db && c.delta == delta && c.equiripple == equiripple) {
            t.assign(c.t, c.t + c.h);
            return true;
        }
    }
    return false;
}

void _remember(double atten_db, double delta, bool equiripple, const std::vector<double> &t)
{
    std::lock_guard<std::mutex> guard(g_cache_lock);
    if (g_cached == kCacheSlots || t.size() > kCacheCoeffs)
        return;
    cached_t &c = g_cache[g_cached++];
    c.atten_db = atten_db;
    c.delta = delta;
    c.equiripple = equiripple;
    c.h = t.size();
    for (size_t k = 0; k < t.size(); ++k)
        c.t[k] = t[k];
}

bool _design_cached(double atten_db, double delta, bool equiripple, std::vector<double> &t)
{
    try {
        if (_lookup(atten_db, delta, equiripple, t))
            return true;
    } catch (...) {
        return false;
    }
    if (!_design(atten_db, delta, equiripple, t))
        return false;
    _remember(atten_db, delta, equiripple, t);
    return true;
}

size_t _num_coeffs(double atten_db, double delta, bool equiripple)
{
    std::vector<double> t;
    return _design_cached(atten_db, delta, equiripple, t) ? t.size() : 0;
}

size_t _write(double atten_db, double delta, bool equiripple, float *coeffs, size_t max_coeffs)
{
    std::vector<double> t;
    if (!coeffs || !_design_cached(atten_db, delta, equiripple, t) || t.size() > max_coeffs)
        return 0;
    for (size_t k = 0; k < t.size(); ++k)
        coeffs[k] = static_cast<float>(2.0 * t[k]); // stored at twice the tap weight
    return 2 * t.size() + 1;
}

} // namespace

extern "C" size_t halfband_num_coeffs(double atten_db, double delta)
{
    return _num_coeffs(atten_db, delta, false);
}

extern "C" size_t halfband_design(double atten_db, double delta, float *coeffs, size_t max_coeffs)
{
    return _write(atten_db, delta, false, coeffs, max_coeffs);
}

extern "C" size_t halfband_num_coeffs_eq(double atten_db, double delta)
{
    return _num_coeffs(atten_db, delta, true);
}

extern "C" size_t halfband_design_eq(double atten_db, double delta, float *coeffs, size_t max_coeffs)
{
    return _write(atten_db, delta, true, coeffs, max_coeffs);
}
