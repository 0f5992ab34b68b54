/*
 * Translating decimator.
 *
 * Design, in double precision. With r = up/down (p = up, q = down) the
 * prototype is a sinc cut at 0.5 r cycles per input under a Kaiser window for
 * A = atten_db + kMarginDb, sampled at p times the input rate: N = T0 p
 * points, T0 from Kaiser's length estimate for the transition 0.4 r .. 0.6 r,
 * centred on (N - 1) / 2 and scaled so that all of them sum to p (each phase
 * a DC gain of 1 within the stop-band ripple). Output j of a period (the
 * outputs j = P p + c, c = 0 .. p-1, whose newest inputs are P q + n0_c with
 * n0_c = floor(c q / p)) is at phase phi_c = c q mod p, so row c, tap k is
 * point k p + phi_c. The rows carry the mixer: tap k of row c is that point
 * times exp(+j 2 pi f (n0_c - k)), f being the oscillator's 32-bit increment,
 * and the output is the row's dot product with the window turned by the
 * oscillator at the period's first input P q: exactly the input mixed sample
 * by sample, one rotation per output instead of one per input. The phase of
 * input P q is taken back from the phase of the input in hand with the
 * increment in force, so a retune keeps the phase continuous.
 *
 * Rows go in groups (stages/xlate_simd.h): consecutive rows whose newest
 * inputs n0_c lie within T0/8 of the first, at most kXlateGroup. A group's
 * rows share one span of D = T0 + (its last n0 - its first n0) taps, tap i
 * meeting input d_hi - i of the period, so each input is loaded once for all
 * of them; each row takes only its own T0 taps of the span, so it meets only
 * its own window and the sums are those of the row alone.
 *
 * Processing: the inputs are kept as q streams, input n in stream n mod q at
 * slot n div q - base (the period it belongs to), every stream one run of
 * hcap slots, so that tap i of a group over successive periods reads
 * successive slots of one stream (off[] gives which and where). Inputs are
 * stored a chunk at a time before the chunk's outputs are computed; the
 * streams move down when a chunk would not fit, keeping the periods the next
 * outputs read. A chunk cut short by the room has stored inputs it does not
 * take in slots no output reads before they are stored again.
 *
 * Per output, from 0, for k = 0 .. T0-1 (newest input first):
 *   s.re = fmaf(g_re[k], x[P q + n0_c - k], s.re),  s.im likewise,
 * and with o the fine oscillator at the period's phase (stages/nco_simd.h):
 *   y = (fmaf(s.re, o.re, -(s.im*o.im)), fmaf(s.re, o.im, s.im*o.re)).
 * _run_scalar is the reference; the vector variants (xlate_<isa>.cpp,
 * xlate_body.inc) do the same operations, successive periods in lanes and
 * the rows of a group side by side.
 */
#include "xlate.h"
#include "nco_simd.h"
#include "phase_inc.h"
#include "simd.h"
#include "xlate_simd.h"

#include "../design/halfband_internal.h"
#include "../design/kaiser.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct xlate_state {
    double norm_freq;   // as last set
    double atten_db;    // as given
    uint32_t p, q;      // up, down, reduced
    size_t T0;          // taps per row
    double *proto;      // the N = T0 p prototype points, owned
    xlate_group *groups;  // row groups, owned
    size_t num_groups;
    float *taps;        // every group's taps (2 D G floats each), owned
    int32_t *off;       // every group's D stream offsets, owned
    uint32_t *n0;       // n0_c for c = 0 .. p (n0_p = q), owned
    float *hist;        // q streams of hcap slots, owned
    size_t hcap;
    int64_t base;       // the period in slot 0
    uint64_t taken;     // inputs taken since creation or reset
    uint64_t next;      // the next output's index j
    uint32_t inc;       // oscillator increment per input
    uint32_t theta;     // oscillator phase of input `taken`
};

namespace {

constexpr double kMarginDb = 5.0;   // designed beyond the request, so measurements meet it
constexpr size_t kChunk = 4096;     // inputs stored before their outputs are computed
static_assert(kChunk / 2 + 2 <= kXlateMaxPeriods);
constexpr uint32_t kMaxUp = 64;
constexpr uint32_t kMaxDown = 65536;
constexpr double kTwoPi = 6.283185307179586;

// Periods of history the outputs of a period read before it.
size_t _reach(const xlate_state *s) { return (s->T0 - 1 + s->q - 1) / s->q + 1; }

// Rows whose newest inputs lie within this many inputs of the group's first
// share a group: its span is at most an eighth longer than a row (wider groups
// share more loads but leave more taps to the edges, which cost more per tap).
size_t _group_reach(const xlate_state *s) { return s->T0 / 8; }

// Groups of consecutive rows, kXlateGroup at most, n0 within _group_reach of
// the first; and the room their taps and offsets take.
size_t _make_groups(xlate_state *s, xlate_group *g, size_t &taps, size_t &offs)
{
    size_t count = 0;
    taps = offs = 0;
    for (uint32_t c = 0; c < s->p;) {
        uint32_t e = c + 1;
        while (e < s->p && e - c < kXlateGroup && s->n0[e] - s->n0[c] <= _group_reach(s)) ++e;
        const uint32_t D = static_cast<uint32_t>(s->T0) + s->n0[e - 1] - s->n0[c];
        if (g) {
            g[count] = xlate_group{c, e - c, D, static_cast<uint32_t>(taps), static_cast<uint32_t>(offs), {}};
            for (uint32_t r = c; r < e; ++r) g[count].lo[r - c] = s->n0[e - 1] - s->n0[r];
        }
        taps += 2 * size_t{D} * (e - c);
        offs += D;
        ++count;
        c = e;
    }
    return count;
}

// Fills the taps from the prototype for the increment in force: tap i of row
// c in its group is tap k = n0_c - d_hi + i of the row, zero outside 0 .. T0-1.
void _fill_rows(xlate_state *s)
{
    const size_t p = s->p, T0 = s->T0;
    for (size_t k = 0; k < s->num_groups; ++k) {
        const xlate_group &g = s->groups[k];
        const uint32_t d_hi = s->n0[g.first + g.rows - 1];
        float *t = s->taps + g.taps;
        std::memset(t, 0, 2 * size_t{g.span} * g.rows * sizeof(float));
        for (uint32_t r = 0; r < g.rows; ++r) {
            const uint32_t c = g.first + r;
            const size_t phi = c * s->q % p;
            for (size_t tap = 0; tap < T0; ++tap) {
                const double h = s->proto[tap * p + phi];
                // exp(+j 2 pi f (n0_c - k)) from the integer phase, exact modulo one turn
                const uint32_t ph = s->inc * (s->n0[c] - static_cast<uint32_t>(tap));
                const double a = kTwoPi * static_cast<double>(static_cast<int32_t>(ph)) * 0x1p-32;
                const size_t i = tap + d_hi - s->n0[c];
                t[i * 2 * g.rows + r] = static_cast<float>(h * std::cos(a));
                t[i * 2 * g.rows + g.rows + r] = static_cast<float>(h * std::sin(a));
            }
        }
    }
}

// Where tap i of a group reads: input d_hi - i of a period, in its stream.
void _fill_offsets(xlate_state *s)
{
    const int64_t q = s->q;
    for (size_t k = 0; k < s->num_groups; ++k) {
        const xlate_group &g = s->groups[k];
        const int64_t d_hi = s->n0[g.first + g.rows - 1];
        for (uint32_t i = 0; i < g.span; ++i) {
            const int64_t d = d_hi - static_cast<int64_t>(i);
            const int64_t e = d >= 0 ? d / q : -((-d + q - 1) / q);  // floor(d / q)
            s->off[g.offs + i] = static_cast<int32_t>((d - e * q) * static_cast<int64_t>(s->hcap) + e);
        }
    }
}

bool _design(xlate_state *s)
{
    const double r = static_cast<double>(s->p) / static_cast<double>(s->q);
    const double A = s->atten_db + kMarginDb;
    const int32_t t0 = kaiser_num_taps(static_cast<int32_t>(s->p), A, 0.4 * r, 0.6 * r);
    if (t0 <= 0 || t0 == INT32_MAX || static_cast<size_t>(t0) > (size_t{1} << 16)) return false;
    s->T0 = static_cast<size_t>(t0);
    const size_t N = s->T0 * s->p;
    s->proto = static_cast<double *>(std::malloc(N * sizeof(double)));
    if (!s->proto) return false;
    const double beta = kaiser_beta(A), inv = 1.0 / design_i0(beta);
    const double c = 0.5 * static_cast<double>(N - 1), P = static_cast<double>(s->p);
    double sum = 0.0;
    for (size_t n = 0; n < N; ++n) {
        const double d = static_cast<double>(n) - c;  // distance from the centre, points
        const double u = d / c;
        const double w = design_i0(beta * std::sqrt(std::fmax(0.0, 1.0 - u * u))) * inv;
        const double t = d / P;  // input periods
        const double v = t == 0.0 ? r : std::sin(kTwoPi * 0.5 * r * t) / (3.141592653589793 * t);
        s->proto[n] = v * w;
        sum += s->proto[n];
    }
    const double scale = P / sum;
    for (size_t n = 0; n < N; ++n) s->proto[n] *= scale;
    return true;
}

// The reference kernel.
void _run_scalar(const xlate_work *w, cf32_t *out)
{
    const size_t p = w->period;
    size_t c = w->cls, t = 0, gk = 0;
    while (w->groups[gk].first + w->groups[gk].rows <= c) ++gk;
    uint32_t theta = w->theta;
    cf32_t o = ddc_nco::osc(w->osc, theta);
    for (size_t j = 0; j < w->count; ++j) {
        const xlate_group &g = w->groups[gk];
        const size_t G = g.rows, r = c - g.first, lo = g.lo[r];
        const float *tp = w->taps + g.taps + lo * 2 * G + r, *x = w->x0 + t;
        const int32_t *off = w->off + g.offs;
        float sr = 0.0f, si = 0.0f;
        for (size_t i = lo; i < lo + w->num_taps; ++i, tp += 2 * G) {
            sr = std::fmaf(tp[0], x[off[i]], sr);
            si = std::fmaf(tp[G], x[off[i]], si);
        }
        out[j] = cf32_t{std::fmaf(sr, o.re, -(si * o.im)), std::fmaf(sr, o.im, si * o.re)};
        if (++c == g.first + G) ++gk;
        if (c == p) {
            c = gk = 0;
            ++t;
            theta += w->theta_step;
            o = ddc_nco::osc(w->osc, theta);
        }
    }
}

using Kernel = void (*)(const xlate_work *, cf32_t *);

Kernel _kernel()
{
    if (const xlate_kernels *k = xlate_kernels_for(ddc_simd_level())) return k->run;
    return _run_scalar;
}

// Outputs due once x inputs are in (counted from reset), ceil(x p / q): every
// row of the periods before the last begun, and the rows c of that period
// with n0_c < r, its r inputs in.
uint64_t _due(const xlate_state *s, uint64_t x)
{
    if (x == 0) return 0;
    const uint64_t P = (x - 1) / s->q, r = x - P * s->q;
    return P * s->p + (r * s->p + s->q - 1) / s->q;
}

// Makes room for m more inputs: the streams move down to the first period
// the next outputs read when the chunk would run past the slack.
void _room(xlate_state *s, size_t m)
{
    const int64_t w = static_cast<int64_t>(s->taken / s->q) - s->base;  // period being written
    const int64_t need = w + static_cast<int64_t>(m / s->q) + 2 + static_cast<int64_t>(kXlateLanes);
    if (need <= static_cast<int64_t>(s->hcap)) return;
    const int64_t keep = static_cast<int64_t>(s->next / s->p) - static_cast<int64_t>(_reach(s));
    const int64_t shift = keep - s->base;
    if (shift <= 0) return;
    const size_t len = static_cast<size_t>(w - shift + 1);
    for (size_t f = 0; f < s->q; ++f) {
        float *stream = s->hist + f * s->hcap;
        std::memmove(stream, stream + shift, len * sizeof(float));
    }
    s->base = keep;
}

// Inputs in[0 .. m) into their streams: one at a time up to the next whole
// period, then whole periods kGroup at a time stream by stream (contiguous
// stores; an input at a time across the streams mispredicts at every wrap).
constexpr size_t kGroup = 16;

void _store(xlate_state *s, const float *in, size_t m, uintptr_t ahead)
{
    const size_t q = s->q, hcap = s->hcap;
    size_t f = static_cast<size_t>(s->taken % q);
    size_t w = static_cast<size_t>(static_cast<int64_t>(s->taken / q) - s->base);
    size_t i = 0;
    for (; i < m && f != 0; ++i) {
        s->hist[f * hcap + w] = in[i];
        if (++f == q) f = 0, ++w;
    }
    for (; i + kGroup * q <= m; i += kGroup * q, w += kGroup) {
        // The next chunk on its way from memory, spread over the stores
        // (a burst of requests stalls on the memory system's queue); past
        // the end of the block too, where a stream's next block mostly lies
        // (integer addresses: a prefetch never faults, wherever it points).
        for (size_t k = 0; k < kGroup * q; k += 16)
            __builtin_prefetch(reinterpret_cast<const void *>(ahead + (i + k) * sizeof(float)), 0, 2);
        size_t g = 0;
#if defined(__SSE2__)
        // Four streams at a time: four periods of four of them are a 4 x 4
        // transpose (half the memory operations of one float at a time).
        for (; g + 4 <= q; g += 4) {
            float *d0 = s->hist + g * hcap + w, *d1 = d0 + hcap, *d2 = d1 + hcap, *d3 = d2 + hcap;
            const float *src = in + i + g;
            // pointers stepped rather than offsets t * q: sixteen of those
            // do not stay in registers
            for (size_t t = 0; t < kGroup; t += 4, src += 4 * q) {
                __m128 r0 = _mm_loadu_ps(src), r1 = _mm_loadu_ps(src + q);
                __m128 r2 = _mm_loadu_ps(src + 2 * q), r3 = _mm_loadu_ps(src + 3 * q);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm_storeu_ps(d0 + t, r0);
                _mm_storeu_ps(d1 + t, r1);
                _mm_storeu_ps(d2 + t, r2);
                _mm_storeu_ps(d3 + t, r3);
            }
        }
#endif
        for (; g < q; ++g) {
            float *dst = s->hist + g * hcap + w;
            const float *src = in + i + g;
            for (size_t t = 0; t < kGroup; ++t) dst[t] = src[t * q];
        }
    }
    for (; i < m; ++i) {
        s->hist[f * hcap + w] = in[i];
        if (++f == q) f = 0, ++w;
    }
}

size_t _run(xlate_state *s, const float *in, size_t n_in, cf32_t *out, size_t cap, Kernel kernel)
{
    const uint32_t inc = s->inc;
    size_t n = 0, i = 0;
    while (i < n_in) {
        const size_t m = n_in - i < kChunk ? n_in - i : kChunk;
        _room(s, m);
        _store(s, in + i, m, reinterpret_cast<uintptr_t>(in + i) + m * sizeof(float));
        const uint64_t due = _due(s, s->taken + m) - s->next;
        const uint64_t cnt = due < cap - n ? due : cap - n;
        if (cnt) {
            const uint64_t P = s->next / s->p;
            const xlate_work w{s->hist + static_cast<size_t>(static_cast<int64_t>(P) - s->base),
                               s->taps, s->off, s->groups, s->num_groups, s->T0, s->p, static_cast<size_t>(cnt),
                               static_cast<size_t>(s->next % s->p),
                               s->theta + inc * static_cast<uint32_t>(P * s->q - s->taken),
                               inc * s->q, ddc_nco::table()};
            kernel(&w, out + n);
            n += cnt;
            s->next += cnt;
        }
        if (cnt < due) {
            // No room for output `next`: the inputs before the one it falls due with are taken.
            const uint64_t N = s->next / s->p * s->q + s->n0[s->next % s->p];
            s->theta += inc * static_cast<uint32_t>(N - s->taken);
            s->taken = N;
            return n;
        }
        s->theta += inc * static_cast<uint32_t>(m);
        s->taken += m;
        i += m;
    }
    return n;
}

}  // namespace

extern "C" {

int xlate_ratio(double rate, uint32_t *up, uint32_t *down)
{
    if (!(rate > 0.0 && rate < 1.0) || !up || !down) return 0;
    // Continued fraction convergents h/k of rate, while k stays in range.
    uint64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
    double x = rate;
    for (int it = 0; it < 40; ++it) {
        const double a = std::floor(x);
        if (a > static_cast<double>(kMaxDown)) break;
        const uint64_t ai = static_cast<uint64_t>(a);
        const uint64_t h2 = ai * h1 + h0, k2 = ai * k1 + k0;
        if (k2 > kMaxDown) break;
        h0 = h1, h1 = h2, k0 = k1, k1 = k2;
        if (h1 >= 1 && h1 <= kMaxUp &&
            std::fabs(static_cast<double>(h1) / static_cast<double>(k1) - rate) <= 1e-12 * rate) {
            *up = static_cast<uint32_t>(h1);
            *down = static_cast<uint32_t>(k1);
            return 1;
        }
        const double f = x - a;
        if (!(f > 1e-300)) break;
        x = 1.0 / f;
    }
    return 0;
}

xlate_state_t *xlate_create(double norm_freq, uint32_t up, uint32_t down, double atten_db)
{
    if (up == 0 || up >= down || !(atten_db >= 40.0 && atten_db <= 140.0)) return nullptr;
    const uint32_t g = std::gcd(up, down);
    up /= g;
    down /= g;
    if (up > kMaxUp || down > kMaxDown) return nullptr;
    auto *s = static_cast<xlate_state *>(std::calloc(1, sizeof(xlate_state)));
    if (!s) return nullptr;
    s->atten_db = atten_db;
    s->p = up;
    s->q = down;
    s->norm_freq = norm_freq;
    s->inc = ddc_phase::freq_to_inc(norm_freq);
    bool ok = _design(s);
    if (ok) {
        s->hcap = _reach(s) + kChunk / s->q + 4 + kXlateLanes;
        ok = s->q * s->hcap < (size_t{1} << 31);  // stream offsets are 32-bit
    }
    if (ok) {
        s->hist = static_cast<float *>(std::malloc(s->q * s->hcap * sizeof(float)));
        s->n0 = static_cast<uint32_t *>(std::malloc((s->p + 1) * sizeof(uint32_t)));
        ok = s->hist && s->n0 && ddc_nco::table();
    }
    if (ok) {
        for (uint32_t c = 0; c <= s->p; ++c)
            s->n0[c] = static_cast<uint32_t>(uint64_t{c} * s->q / s->p);
        size_t taps = 0, offs = 0;
        s->num_groups = _make_groups(s, nullptr, taps, offs);
        s->groups = static_cast<xlate_group *>(std::malloc(s->num_groups * sizeof(xlate_group)));
        s->taps = static_cast<float *>(std::malloc(taps * sizeof(float)));
        s->off = static_cast<int32_t *>(std::malloc(offs * sizeof(int32_t)));
        ok = s->groups && s->taps && s->off;
        if (ok) _make_groups(s, s->groups, taps, offs);
    }
    if (!ok) {
        xlate_destroy(s);
        return nullptr;
    }
    _fill_rows(s);
    _fill_offsets(s);
    xlate_reset(s);
    return s;
}

void xlate_destroy(xlate_state_t *s)
{
    if (!s) return;
    std::free(s->proto);
    std::free(s->groups);
    std::free(s->taps);
    std::free(s->off);
    std::free(s->n0);
    std::free(s->hist);
    std::free(s);
}

void xlate_reset(xlate_state_t *s)
{
    std::memset(s->hist, 0, s->q * s->hcap * sizeof(float));
    s->base = -static_cast<int64_t>(_reach(s));  // silence before input 0
    s->taken = 0;
    s->next = 0;  // output 0 falls due with input 0
    s->theta = 0;
}

double xlate_get_norm_freq(const xlate_state_t *s) { return s->norm_freq; }

void xlate_set_norm_freq(xlate_state_t *s, double norm_freq)
{
    s->norm_freq = norm_freq;
    const uint32_t inc = ddc_phase::freq_to_inc(norm_freq);
    if (inc != s->inc) {
        s->inc = inc;
        _fill_rows(s);
    }
}

uint32_t xlate_get_up(const xlate_state_t *s) { return s->p; }
uint32_t xlate_get_down(const xlate_state_t *s) { return s->q; }
size_t xlate_get_num_taps(const xlate_state_t *s) { return s->T0; }

double xlate_get_cost(const xlate_state_t *s)
{
    return static_cast<double>(s->p) * (2.0 * static_cast<double>(s->T0) + 4.0) / static_cast<double>(s->q);
}

double xlate_get_delay(const xlate_state_t *s)
{
    return 0.5 * static_cast<double>(s->T0 * s->p - 1) / static_cast<double>(s->p);
}

size_t xlate_capacity(const xlate_state_t *s, size_t n_in)
{
    if (n_in == 0) return 0;
    // taken + n_in inputs stay below 2^64 for any stream that can be fed
    const uint64_t x = s->taken + n_in < s->taken ? UINT64_MAX : s->taken + n_in;
    return static_cast<size_t>(_due(s, x) - s->next);
}

size_t xlate_execute(xlate_state_t *s, const float *in, size_t n_in, cf32_t *out, size_t cap)
{
    if (n_in == 0) return 0;
    return _run(s, in, n_in, out, cap, _kernel());
}

}  // extern "C"
