/*
 * Polyphase resampler by an arbitrary ratio.
 *
 * A 32-bit fixed-point phase walks through a bank of P rows of T taps; its top
 * bits select the row, so the filter is evaluated at P fractional delays.
 *   rate > 1: direct form at the input rate. Each output dots one row with the
 *             newest T inputs, held twice in a power-of-two ring so the window
 *             is always contiguous; the phase advances per output and its carry
 *             takes the next input.
 *   rate < 1: transposed form at the output rate. Each input is scattered into
 *             T accumulators with the row of its arrival phase, reversed and
 *             scaled by the rate; each output period pushes the accumulators
 *             down a chain of partial sums, so the cut-off tracks the output
 *             Nyquist frequency.
 *   control:  direct form whose output clock is a double accumulating
 *             rate + ctrl per input; its fraction picks the row at full P.
 *
 * The built-in bank is 4096 phases of a 19-tap Kaiser-windowed sinc
 * (beta 5.65326, about 60 dB). It is designed once per process into a
 * read-only table; each resampler copies it and owns its copy.
 *
 * Dot products of 16 taps or more use 16 lane sums combined in a fixed tree,
 * then the remaining taps in order, so the rounding depends on T only and any
 * block split of the input gives the same bits.
 *
 * The loops below are the reference. With AVX2, AVX-512 or NEON the
 * interpolating and decimating paths run vectorised kernels (resamp_body.inc
 * in resamp_<isa>.cpp) that perform the same float32 operations per lane and
 * so give the same bits. The decimating kernels read a per-resampler table of
 * rows reversed, multiplied by g and doubled for re/im; it is allocated at
 * creation for a decimating resampler of at most 32 taps and refilled when g
 * changes. A resampler created interpolating and retuned below 1 has no table
 * and keeps the scalar loop.
 */
#include "resamp.h"
#include "resamp_simd.h"
#include "simd.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

struct resamp_state {
    double rate;            // fs_out / fs_in
    size_t num_phases;      // P, rows of the bank
    size_t num_taps;        // T, taps per row
    uint32_t phase_bits;    // smallest b with 2^b >= P
    int32_t interpolating;  // 1 when rate >= 1.0
    float *bank;            // P*T taps, row-major, owned
    uint32_t phase;         // fraction of a period, 2^32 = one input (interp.) or output (decim.) period
    uint32_t phase_step;    // added per output (interpolating) or per input (decimating)
    cf32_t *history;        // 2*R newest inputs, each at p and p + R
    size_t history_size;    // R, power of two >= T
    size_t history_mask;    // R - 1
    size_t history_pos;     // lower copy of the newest input
    cf32_t *acc;            // T accumulators of the decimating path
    cf32_t *partial;        // max(T-1, 1) partial sums of the decimating path
    double ctrl_time;       // output clock of the controlled path, in output periods
    float *wtab;            // vector decimating taps: per row 2T floats (reversed, times g, doubled), or null
    size_t wtab_stride;     // floats per wtab row, a multiple of 16
    float wtab_g;           // g the table holds, valid when wtab_ready
    int32_t wtab_ready;     // 1 once wtab is filled for wtab_g
};

namespace {

constexpr size_t kBuiltinPhases = 4096;
constexpr size_t kBuiltinTaps = 19;
constexpr int kCentre = 38912;  // 9.5 * 4096, the prototype's centre

// I0(5.65326) by its power series; q = beta/2 / k.
double _i0_beta() {
    double sum = 1.0, term = 1.0;
    for (int k = 1;; ++k) {
        const double q = 2.82663 / k;
        term = (q * q) * term;
        sum = term + sum;
        if (term < sum * 1e-20 || k == 29) break;
    }
    return sum;
}

// I0(x) by the same series and stop rule; q = x / 2k.
double _i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1;; ++k) {
        const double dk = k;
        const double q = x / (dk + dk);
        term = (q * q) * term;
        sum = term + sum;
        if (term < sum * 1e-20 || k == 29) break;
    }
    return sum;
}

// Prototype point j (0 .. 77823) of the windowed sinc, centre at 38912.
// inv is 1 / I0(beta).
double _prototype(int j, double inv) {
    const double u = std::fma(static_cast<double>(j), 2.5699013157894735e-05, -1.0);
    const double v = std::fma(-u, u, 1.0);
    const double x = std::sqrt(v) * 5.65326;
    double s = 1.0;
    if (j != kCentre) {
        const double a = static_cast<double>(j - kCentre) * 0.0007669903939428206;
        s = std::sin(a) / a;
    }
    return _i0(x) * (s * inv);
}

// Row r, tap k of the built-in bank is the prototype at j = r + 4096 k; the
// last prototype point (j = 77824) is never sampled, so it is not computed.
struct BuiltinBank {
    float taps[kBuiltinPhases * kBuiltinTaps];

    BuiltinBank() noexcept {
        const double inv = 1.0 / _i0_beta();
        for (size_t j = 0; j < kBuiltinPhases * kBuiltinTaps; ++j) {
            const size_t r = j % kBuiltinPhases, k = j / kBuiltinPhases;
            taps[r * kBuiltinTaps + k] = static_cast<float>(_prototype(static_cast<int>(j), inv));
        }
    }
};

// Designed on first use; function-local static initialisation is thread-safe.
const float *_builtin_bank() {
    static const BuiltinBank bank;
    return bank.taps;
}

// 2^32/rate above 1, rate*2^32 below, truncated; NaN or <= 0 gives 0, >= 2^32 saturates.
uint32_t _phase_step(double rate) {
    const double v = rate >= 1.0 ? 4294967296.0 / rate : rate * 4294967296.0;
    if (!(v > 0.0)) return 0;
    if (v >= 4294967296.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

// resamp_execute reads the row from the top phase bits: only P = 2^b, 1 <= b <= 31, maps onto the bank.
bool _rows_from_phase(size_t P) {
    return P >= 2 && P <= (size_t{1} << 31) && (P & (P - 1)) == 0;
}

// Combines 16 lane sums in a fixed tree.
inline float _tree16(const float *p) {
    float q[4];
    for (int l = 0; l < 4; ++l) q[l] = (p[4 + l] + p[l]) + (p[8 + l] + p[12 + l]);
    return (q[0] + q[1]) + (q[2] + q[3]);
}

// y = sum_k c[k] * x[k] on each part: 16 lanes over the first 16*floor(T/16)
// taps, then the rest in ascending order; below 16 taps plain ascending.
inline cf32_t _dot(const float *c, const cf32_t *x, size_t T) {
    float re = 0.0f, im = 0.0f;
    size_t k = 0;
    if (T >= 16) {
        float lr[16] = {}, li[16] = {};
        const size_t body = T & ~size_t{15};
        for (; k < body; k += 16) {
            for (size_t l = 0; l < 16; ++l) {
                lr[l] = std::fmaf(c[k + l], x[k + l].re, lr[l]);
                li[l] = std::fmaf(c[k + l], x[k + l].im, li[l]);
            }
        }
        re = _tree16(lr);
        im = _tree16(li);
    }
    for (; k < T; ++k) {
        re = std::fmaf(c[k], x[k].re, re);
        im = std::fmaf(c[k], x[k].im, im);
    }
    return cf32_t{re, im};
}

// acc[m] += (row[T-1-m] * g) * x: one input scattered over T output periods.
inline void _scatter(cf32_t *acc, const float *row, float g, cf32_t x, size_t T) {
    for (size_t m = 0; m < T; ++m) {
        const float w = row[T - 1 - m] * g;
        acc[m].re = std::fmaf(w, x.re, acc[m].re);
        acc[m].im = std::fmaf(w, x.im, acc[m].im);
    }
}

// End of an output period: partial[j] = partial[j+1] + acc[j+1], partial[T-2] = acc[T-1] (T >= 2).
inline void _shift_partial(cf32_t *partial, const cf32_t *acc, size_t T) {
    for (size_t j = 0; j + 2 < T; ++j) {
        partial[j].re = partial[j + 1].re + acc[j + 1].re;
        partial[j].im = partial[j + 1].im + acc[j + 1].im;
    }
    partial[T - 2] = acc[T - 1];
}

inline void _take_input(resamp_state *s, cf32_t x) {
    s->history_pos = (s->history_pos - 1) & s->history_mask;
    s->history[s->history_pos] = x;
    s->history[s->history_pos + s->history_size] = x;
}

// The vector decimating kernels' table; without it (no vector kernels, too many taps,
// too large, or no memory) the scalar loop runs, with the same results.
void _alloc_wtab(resamp_state *s) {
    const size_t P = s->num_phases, T = s->num_taps;
    if (s->interpolating || T > kResampSimdMaxTaps || !_rows_from_phase(P)) return;
    if (!resamp_kernels_for(ddc_simd_supported())) return;
    const size_t stride = (2 * T + 15) & ~size_t{15};
    if (P > (size_t{64} << 20) / (stride * sizeof(float))) return;  // at most 64 MiB
    s->wtab = static_cast<float *>(std::aligned_alloc(64, P * stride * sizeof(float)));
    s->wtab_stride = stride;
}

// Row r: slots m = 0 .. T-1 hold bank(r, T-1-m) * g twice (re, im), zeros after.
[[maybe_unused]] void _fill_wtab(resamp_state *s, float g) {
    const size_t P = s->num_phases, T = s->num_taps, stride = s->wtab_stride;
    for (size_t r = 0; r < P; ++r) {
        const float *row = s->bank + r * T;
        float *w = s->wtab + r * stride;
        for (size_t m = 0; m < T; ++m) w[2 * m] = w[2 * m + 1] = row[T - 1 - m] * g;
        for (size_t j = 2 * T; j < stride; ++j) w[j] = 0.0f;
    }
    s->wtab_g = g;
    s->wtab_ready = 1;
}

// Takes ownership of bank (malloc'd P*T floats) and frees it on every failure.
resamp_state *_create_from_bank(size_t P, size_t T, float *bank, double rate) {
    auto *s = static_cast<resamp_state *>(std::calloc(1, sizeof(resamp_state)));
    if (!s) {
        std::free(bank);
        return nullptr;
    }
    s->rate = rate;
    s->num_phases = P;
    s->num_taps = T;
    uint32_t b = 0;
    while (b < static_cast<uint32_t>(std::numeric_limits<size_t>::digits) && (size_t{1} << b) < P) ++b;
    s->phase_bits = b;
    s->interpolating = rate >= 1.0;
    s->bank = bank;
    s->phase_step = _phase_step(rate);

    size_t R = 1;
    bool fits = true;
    while (R < T) {
        if (R > std::numeric_limits<size_t>::max() / 4) {  // 2R samples must stay countable
            fits = false;
            break;
        }
        R <<= 1;
    }
    s->history_size = R;
    s->history_mask = R - 1;
    if (fits) s->history = static_cast<cf32_t *>(std::calloc(2 * R, sizeof(cf32_t)));
    if (!s->history) {
        std::free(bank);
        std::free(s);
        return nullptr;
    }
    s->acc = static_cast<cf32_t *>(std::calloc(T, sizeof(cf32_t)));
    s->partial = static_cast<cf32_t *>(std::calloc(T >= 2 ? T - 1 : 1, sizeof(cf32_t)));
    if (!s->acc || !s->partial) {
        std::free(s->partial);
        std::free(s->acc);
        std::free(s->history);
        std::free(bank);
        std::free(s);
        return nullptr;
    }
    _alloc_wtab(s);
    return s;
}

size_t _interpolate_scalar(resamp_state *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap) {
    const size_t T = s->num_taps;
    const unsigned shift = 32u - s->phase_bits;
    const uint32_t step = s->phase_step;
    uint32_t phase = s->phase;
    size_t i = 0, n = 0;
    do {
        const float *row = s->bank + static_cast<size_t>(phase >> shift) * T;
        out[n++] = _dot(row, s->history + s->history_pos, T);
        const uint32_t next = phase + step;
        if (next < phase) _take_input(s, in[i++]);  // carry: an input period ended
        phase = next;
    } while (i < n_in && n < cap);
    s->phase = phase;
    return n;
}

// g = rate rounded to float32; rate < 1 here, only a huge negative rate could leave the float range.
inline float _gain(const resamp_state *s) {
    return s->rate < -static_cast<double>(FLT_MAX) ? -INFINITY : static_cast<float>(s->rate);
}

size_t _decimate_scalar(resamp_state *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap) {
    const size_t T = s->num_taps;
    const unsigned shift = 32u - s->phase_bits;
    const uint32_t step = s->phase_step;
    const float g = _gain(s);
    cf32_t *acc = s->acc, *partial = s->partial;
    uint32_t phase = s->phase;
    size_t n = 0;
    for (size_t i = 0; i < n_in; ++i) {
        const uint32_t next = phase + step;
        const bool carry = next < phase;  // an output period ended
        // Stop only at an input whose output finds no room: the inputs after
        // the last output that fits are still taken, so a capacity of exactly
        // the block's output count loses nothing.
        if (carry && n == cap) break;
        const float *row = s->bank + static_cast<size_t>(phase >> shift) * T;
        _scatter(acc, row, g, in[i], T);
        phase = next;
        if (carry) {
            cf32_t y = acc[0];
            if (T >= 2) {
                y.re = acc[0].re + partial[0].re;
                y.im = acc[0].im + partial[0].im;
                _shift_partial(partial, acc, T);
            }
            std::memset(acc, 0, T * sizeof(cf32_t));
            out[n++] = y;
        }
    }
    s->phase = phase;
    return n;
}

size_t _interpolate(resamp_state *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap) {
    if (const resamp_kernels *k = resamp_kernels_for(ddc_simd_level())) {
        resamp_interp_view v{s->bank, s->num_taps, 32u - s->phase_bits, s->phase_step, s->phase,
                             s->history, s->history_size, s->history_mask, s->history_pos};
        const size_t n = k->interpolate(&v, in, n_in, out, cap);
        s->phase = v.phase;
        s->history_pos = v.history_pos;
        return n;
    }
    return _interpolate_scalar(s, in, n_in, out, cap);
}

size_t _decimate(resamp_state *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap) {
    const resamp_kernels *k = resamp_kernels_for(ddc_simd_level());
    if (k && s->wtab) {
        const float g = _gain(s);
        // Compare bits: -0.0 and NaN payloads must not pass for another g.
        uint32_t have, want;
        std::memcpy(&have, &s->wtab_g, sizeof have);
        std::memcpy(&want, &g, sizeof want);
        if (!s->wtab_ready || have != want) _fill_wtab(s, g);
        resamp_decim_view v{s->wtab, s->wtab_stride, s->num_taps, 32u - s->phase_bits, s->phase_step,
                            s->phase, s->acc, s->partial};
        const size_t n = k->decimate(&v, in, n_in, out, cap);
        s->phase = v.phase;
        return n;
    }
    return _decimate_scalar(s, in, n_in, out, cap);
}

// Row for the fraction t >= 0 of the output clock: floor(t*P), at most P - 1.
inline size_t _ctrl_row(double t, size_t P) {
    const double x = t * static_cast<double>(P);
    if (!(x < static_cast<double>(P - 1))) return P - 1;
    const size_t r = static_cast<size_t>(x);
    return r < P - 1 ? r : P - 1;
}

}  // namespace

extern "C" {

resamp_state_t *resamp_create(double rate) {
    const size_t n = kBuiltinPhases * kBuiltinTaps;
    auto *bank = static_cast<float *>(std::malloc(n * sizeof(float)));
    if (!bank) return nullptr;
    std::memcpy(bank, _builtin_bank(), n * sizeof(float));
    return _create_from_bank(kBuiltinPhases, kBuiltinTaps, bank, rate);
}

resamp_state_t *resamp_create_custom(size_t num_phases, size_t num_taps, const float *bank,
                                     double rate) {
    if (num_phases == 0 || num_taps == 0 || !bank || !(rate > 0.0)) return nullptr;
    if (num_taps > std::numeric_limits<size_t>::max() / sizeof(float) / num_phases) return nullptr;
    const size_t n = num_phases * num_taps;
    auto *copy = static_cast<float *>(std::malloc(n * sizeof(float)));
    if (!copy) return nullptr;
    std::memcpy(copy, bank, n * sizeof(float));
    return _create_from_bank(num_phases, num_taps, copy, rate);
}

void resamp_destroy(resamp_state_t *s) {
    if (!s) return;
    std::free(s->wtab);
    std::free(s->partial);
    std::free(s->acc);
    std::free(s->history);
    std::free(s->bank);
    std::free(s);
}

void resamp_reset(resamp_state_t *s) {
    s->phase = 0;
    s->ctrl_time = 0.0;
    s->history_pos = 0;
    std::memset(s->history, 0, 2 * s->history_size * sizeof(cf32_t));
    std::memset(s->acc, 0, s->num_taps * sizeof(cf32_t));
    if (s->num_taps >= 2) std::memset(s->partial, 0, (s->num_taps - 1) * sizeof(cf32_t));
}

double resamp_get_rate(const resamp_state_t *s) { return s->rate; }

void resamp_set_rate(resamp_state_t *s, double rate) {
    s->rate = rate;
    s->interpolating = rate >= 1.0;
    s->phase_step = _phase_step(rate);
}

size_t resamp_get_num_phases(const resamp_state_t *s) { return s->num_phases; }
size_t resamp_get_num_taps(const resamp_state_t *s) { return s->num_taps; }
uint32_t resamp_get_phase(const resamp_state_t *s) { return s->phase; }
uint32_t resamp_get_phase_step(const resamp_state_t *s) { return s->phase_step; }
uint32_t resamp_get_phase_bits(const resamp_state_t *s) { return s->phase_bits; }
int resamp_get_interpolating(const resamp_state_t *s) { return s->interpolating; }
size_t resamp_get_history_size(const resamp_state_t *s) { return s->history_size; }
const float *resamp_get_bank(const resamp_state_t *s) { return s->bank; }

size_t resamp_execute(resamp_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap) {
    if (!_rows_from_phase(s->num_phases)) return 0;
    if (s->rate == 1.0) {
        const size_t n = n_in < cap ? n_in : cap;
        if (n) std::memcpy(out, in, n * sizeof(cf32_t));
        return n;
    }
    if (n_in == 0 || cap == 0) return 0;
    return s->interpolating ? _interpolate(s, in, n_in, out, cap) : _decimate(s, in, n_in, out, cap);
}

size_t resamp_execute_ctrl(resamp_state_t *s, const cf32_t *in, const cf32_t *ctrl, size_t n_in,
                           cf32_t *out, size_t cap) {
    if (n_in == 0 || cap == 0) return 0;
    const size_t P = s->num_phases, T = s->num_taps;
    double t = s->ctrl_time;
    size_t n = 0;
    for (size_t i = 0; i < n_in; ++i) {
        _take_input(s, in[i]);
        t = (s->rate + t) + static_cast<double>(ctrl[i].re);
        // NaN fails this test, so a NaN clock never reaches the row conversion.
        while (t >= 1.0 && n < cap) {
            t = t - 1.0;
            out[n++] = _dot(s->bank + _ctrl_row(t, P) * T, s->history + s->history_pos, T);
        }
        if (n == cap) break;
    }
    s->ctrl_time = t;
    return n;
}

}  // extern "C"
