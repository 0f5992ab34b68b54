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
 * the stop band on a dense grid, starting one below the estimate. Designs are
 * remembered per process (read-only once made), so a repeated plan is cheap.
 */
#include "halfband.h"
#include "kaiser.h"

#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxCoeffs = 1u << 16; // far past anything a plan asks for

// I0 by its power series, to full double precision.
double _i0(double x)
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

// Branch of h values, outermost first, at their tap weight (one side).
void _branch(double beta, size_t h, std::vector<double> &t)
{
    t.assign(h, 0.0);
    const double half = static_cast<double>(2 * h);
    const double inv_i0 = 1.0 / _i0(beta);
    double sum = 0.0;
    for (size_t k = 0; k < h; ++k) {
        const size_t j = h - 1 - k; // d = 2j + 1
        const double d = static_cast<double>(2 * j + 1);
        const double r = d / half;
        const double w = _i0(beta * std::sqrt(1.0 - r * r)) * inv_i0;
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

// The branch meeting the attenuation, or an empty one for refused arguments.
bool _design(double atten_db, double delta, std::vector<double> &t)
{
    if (!(atten_db > 0.0 && atten_db <= 200.0) || !(delta > 0.0 && delta < 0.25))
        return false;
    const double beta = kaiser_beta(atten_db);
    const double est = std::ceil((atten_db - 7.95) / (14.36 * 2.0 * delta) / 4.0);
    if (!(est < static_cast<double>(kMaxCoeffs)))
        return false;
    const double target = std::pow(10.0, -atten_db / 20.0);
    size_t h = est > 2.0 ? static_cast<size_t>(est) - 1 : 1;
    try {
        for (;; ++h) {
            _branch(beta, h, t);
            if (_stop_peak(t, delta) <= target || h >= kMaxCoeffs || h > 2 * est + 8)
                return true;
        }
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
    size_t h;
    double t[kCacheCoeffs];
};
cached_t g_cache[kCacheSlots];
int g_cached = 0;
std::mutex g_cache_lock;

bool _lookup(double atten_db, double delta, std::vector<double> &t)
{
    std::lock_guard<std::mutex> guard(g_cache_lock);
    for (int i = 0; i < g_cached; ++i) {
        const cached_t &c = g_cache[i];
        if (c.atten_db == atten_db && c.delta == delta) {
            t.assign(c.t, c.t + c.h);
            return true;
        }
    }
    return false;
}

void _remember(double atten_db, double delta, const std::vector<double> &t)
{
    std::lock_guard<std::mutex> guard(g_cache_lock);
    if (g_cached == kCacheSlots || t.size() > kCacheCoeffs)
        return;
    cached_t &c = g_cache[g_cached++];
    c.atten_db = atten_db;
    c.delta = delta;
    c.h = t.size();
    for (size_t k = 0; k < t.size(); ++k)
        c.t[k] = t[k];
}

bool _design_cached(double atten_db, double delta, std::vector<double> &t)
{
    try {
        if (_lookup(atten_db, delta, t))
            return true;
    } catch (...) {
        return false;
    }
    if (!_design(atten_db, delta, t))
        return false;
    _remember(atten_db, delta, t);
    return true;
}

} // namespace

extern "C" size_t halfband_num_coeffs(double atten_db, double delta)
{
    std::vector<double> t;
    return _design_cached(atten_db, delta, t) ? t.size() : 0;
}

extern "C" size_t halfband_design(double atten_db, double delta, float *coeffs, size_t max_coeffs)
{
    std::vector<double> t;
    if (!coeffs || !_design_cached(atten_db, delta, t) || t.size() > max_coeffs)
        return 0;
    for (size_t k = 0; k < t.size(); ++k)
        coeffs[k] = static_cast<float>(2.0 * t[k]); // stored at twice the tap weight
    return 2 * t.size() + 1;
}
