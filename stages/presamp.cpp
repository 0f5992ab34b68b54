/*
 * Designed polyphase resampler.
 *
 * Design, in double precision. With m = min(1, rate) the pass band ends at
 * fp = 0.4 m and the stop band starts at fs = 0.6 m (cycles per input). The
 * prototype is a sinc cut at 0.5 m under a Kaiser window for A = atten_db +
 * kMarginDb, sampled at P times the input rate over T0 input periods (T0 P + 1
 * points, symmetric, T0 from Kaiser's length estimate for the transition
 * fs - fp), and scaled so that its first T0 P points sum to P: each phase then
 * has a DC gain of 1 within the stop-band ripple. Row p, tap k is the point
 * k P + p; between rows p and p + 1 the kernels interpolate linearly, which
 * for a tone at f is wrong by at most about (2 pi f / P)^2 / 8 of it, so P is
 * the smallest power of two from 16 on that keeps this below -A dB at fp.
 * Each row is stored with its differences to the next row, rounded from the
 * differences in double; row P is row 0 shifted by one input.
 *
 * The design has to be quick (a down-converter is created in a millisecond or
 * so): the window's I0 is its power series in y = (x/2)^2, cut where the terms
 * fall below 1e-17 of the sum at the largest argument, by Horner's rule on
 * eight points at a time; the sines come from the sum formula with one sine
 * and cosine per tap and per row; the prototype is symmetric, so rows P/2+1
 * .. P-1 are rows P/2-1 .. 1 reversed and only rows 0 .. P/2 are computed.
 * Tables live in a per-process cache of static storage, keyed by (m,
 * atten_db) and shared by the handles that read them (see below).
 *
 * Processing, direct form. acc (32.32 fixed point) is the time of the next
 * output after the newest input taken; outputs fall due while acc < 1, each
 * adding the step round(2^32 / rate), and each input taken subtracts 1. The
 * fraction's top log2(P) bits give the row, the next 24 bits (fewer when P >
 * 256, padded with zeros) as an integer, converted exactly and scaled by
 * 2^-24, give mu. The history is two float rings (re, im) of L >= T + kChunk
 * slots, each sample stored at q and q + L, so the window from the newest
 * sample on is one contiguous run.
 * Inputs are stored a chunk at a time before the chunk's outputs are computed
 * (no wide load waits for the narrow stores just made); a chunk cut short by
 * the room has written some inputs it does not take into slots at least
 * L - kChunk >= T behind the newest sample, which no window reads before they
 * are overwritten.
 *
 * Per output, with c_k = fmaf(mu, d_p[k], h_p[k]), 16 lane sums per part:
 *   a[k % 16] = fmaf(c_k, x[k], a[k % 16]) for k = 0 .. T-1, from 0,
 * then a[j] + a[j + 8], a[j] + a[j + 4], a[j] + a[j + 2], a[0] + a[1].
 * _dot_scalar is the reference; presamp_avx2.cpp, presamp_avx512.cpp and
 * presamp_neon.cpp do the same operations in vector lanes.
 */
#include "presamp.h"
#include "presamp_simd.h"
#include "simd.h"

#include "../design/kaiser.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

struct presamp_state {
    double rate;           // fs_out / fs_in as given
    double atten_db;       // as given
    double delay;          // T0 / 2, input periods
    size_t num_phases;     // P
    size_t num_taps;       // T, padded
    const float *tab;      // P rows of 2T floats, 64-byte aligned: own_tab or in the cache
    float *own_tab;        // the table when not in the cache
    int cache_slot;        // the cache slot held, or -1
    float *ring;           // re ring (2L floats) then im ring (2L floats), owned
    size_t ring_size;      // L
    size_t pos;            // slot of the newest input
    uint64_t acc;          // time of the next output after the newest input, 32.32
    uint64_t step;         // round(2^32 / rate)
    unsigned bits;         // log2(P)
};

namespace {

constexpr double kMarginDb = 5.0;                     // designed beyond the request, so measurements meet it
constexpr size_t kMaxTableBytes = size_t{1} << 30;    // larger filters are refused
constexpr size_t kChunk = 256;                        // inputs stored before their outputs are computed
constexpr size_t kBatch = 64;                         // jobs per kernel call
constexpr uint64_t kOne = uint64_t{1} << 32;

// ---- design ------------------------------------------------------------------

// 1 / (k!)^2, the coefficients of I0 in (x/2)^2.
constexpr std::array<double, 48> kI0 = [] {
    std::array<double, 48> c{};
    c[0] = 1.0;
    for (size_t k = 1; k < c.size(); ++k) c[k] = c[k - 1] / static_cast<double>(k * k);
    return c;
}();

struct Geometry {
    double m;         // min(1, rate)
    double A;         // attenuation designed for
    size_t P;         // phases, a power of two
    unsigned bits;    // log2(P)
    size_t T0;        // taps per phase
    size_t T;         // T0 rounded up to 16
};

bool _geometry(double rate, double atten_db, Geometry &g)
{
    g.m = rate < 1.0 ? rate : 1.0;
    g.A = atten_db + kMarginDb;
    const double fp = 0.4 * g.m, fs = 0.6 * g.m;
    const double tol = std::pow(10.0, -g.A / 20.0);
    g.P = 16;
    g.bits = 4;
    for (;;) {
        const double e = 6.283185307179586 * fp / static_cast<double>(g.P);
        if (e * e / 8.0 <= tol || g.bits == 16) break;
        g.P <<= 1;
        ++g.bits;
    }
    const int32_t t0 = kaiser_num_taps(static_cast<int32_t>(g.P), g.A, fp, fs);
    if (t0 <= 0 || t0 == INT32_MAX) return false;
    g.T0 = static_cast<size_t>(t0);
    g.T = (g.T0 + 15) & ~size_t{15};
    return g.T <= kMaxTableBytes / (2 * sizeof(float)) / g.P;
}

size_t _table_floats(const Geometry &g) { return 2 * g.P * g.T; }

// I0 at n points given as y = (x/2)^2, in place: Horner's rule over K + 1
// terms, kLanes independent chains at a time (n a multiple of kLanes).
constexpr size_t kLanes = 8;

void _i0_horner(double *y, size_t n, int K)
{
    for (size_t i = 0; i < n; i += kLanes) {
        double s[kLanes];
        for (size_t l = 0; l < kLanes; ++l) s[l] = kI0[K];
        for (int k = K - 1; k >= 0; --k)
            for (size_t l = 0; l < kLanes; ++l) s[l] = s[l] * y[i + l] + kI0[k];
        for (size_t l = 0; l < kLanes; ++l) y[i + l] = s[l];
    }
}

// Fills tab (2 P T floats); false when the scratch cannot be had.
//
// Point n = k P + p of the prototype is row p, tap k; its distance to the
// centre c = T0 P / 2 is j = n - c. Row P - p is row p reversed (the
// prototype is symmetric), so rows 0 .. P/2 are computed, T0 points each, in
// double, then scaled and stored with their differences.
bool _design(const Geometry &g, float *tab)
{
    const size_t P = g.P, T0 = g.T0, T = g.T, H = P / 2;
    const size_t W = (T0 + kLanes - 1) / kLanes * kLanes;  // scratch row length
    const size_t c = T0 * P / 2;
    auto *buf = static_cast<double *>(std::malloc((H + 1) * W * sizeof(double) + 2 * T0 * sizeof(double)));
    if (!buf) return false;
    double *sk = buf + (H + 1) * W, *ck = sk + T0;

    const double beta = kaiser_beta(g.A);
    const double q = beta * beta / 4.0;
    int K = 1;  // terms kept: below 1e-17 of the sum at the largest argument
    for (double term = 1.0, sum = 1.0;; ++K) {
        term = term * q / static_cast<double>(K * K);
        sum = sum + term;
        if (term < sum * 1e-17 || K + 1 == static_cast<int>(kI0.size())) break;
    }
    // sin(a j) with a = pi m / P, the sinc cut at 0.5 m cycles per input:
    // a j = pi m (k - T0/2) + a p, by the sum formula from the tap's and the
    // row's sine and cosine.
    const double a = 3.141592653589793 * g.m / static_cast<double>(P);
    for (size_t k = 0; k < T0; ++k) {
        const double t = 3.141592653589793 * g.m * (static_cast<double>(k) - static_cast<double>(T0) / 2.0);
        sk[k] = std::sin(t);
        ck[k] = std::cos(t);
    }
    const double q_cc = q / (static_cast<double>(c) * static_cast<double>(c));
    double total = 0.0;
    for (size_t p = 0; p <= H; ++p) {
        double *r = buf + p * W;
        // Window: I0(beta sqrt(1 - (j/c)^2)), 1 - (j/c)^2 = (c - |j|)(c + |j|) / c^2.
        for (size_t k = 0; k < W; ++k) {
            const size_t n = k < T0 ? k * P + p : c;
            const size_t aj = n < c ? c - n : n - c;
            r[k] = q_cc * static_cast<double>((c - aj) * (c + aj));
        }
        _i0_horner(r, W, K);
        const double sp = std::sin(a * static_cast<double>(p)), cp = std::cos(a * static_cast<double>(p));
        double row_sum = 0.0;
        for (size_t k = 0; k < T0; ++k) {
            const double j = static_cast<double>(k * P + p) - static_cast<double>(c);
            r[k] = r[k] * (j == 0.0 ? a : (sk[k] * cp + ck[k] * sp) / j);
            row_sum = row_sum + r[k];
        }
        // Row P - p is the same row reversed: rows 1 .. H-1 count twice.
        total = total + (p == 0 || p == H ? row_sum : row_sum + row_sum);
    }
    const double scale = static_cast<double>(P) / total;

    // Row p is buf row p for p <= H, else buf row P - p reversed; row P is
    // row 0 shifted by one tap, ending on the prototype's last point, which
    // equals its first. Rows not in buf are laid out in two spare rows.
    auto row = [&](size_t p, double *spare) -> const double * {
        if (p <= H) return buf + p * W;
        if (p < P) {
            const double *src = buf + (P - p) * W;
            for (size_t k = 0; k < T0; ++k) spare[k] = src[T0 - 1 - k];
        } else {
            for (size_t k = 0; k + 1 < T0; ++k) spare[k] = buf[k + 1];
            spare[T0 - 1] = buf[0];
        }
        return spare;
    };
    double *spare[2] = {sk, ck};  // the sines are no longer needed
    const double *cur = row(0, spare[0]);
    for (size_t p = 0; p < P; ++p) {
        const double *nxt = row(p + 1, spare[(p + 1) & 1]);
        float *dst = tab + p * 2 * T;
        for (size_t k0 = 0; k0 < T; k0 += 16, dst += 32) {
            for (size_t l = 0; l < 16; ++l) {
                const size_t k = k0 + l;
                const double v = k < T0 ? cur[k] * scale : 0.0, w = k < T0 ? nxt[k] * scale : 0.0;
                dst[l] = static_cast<float>(v);
                dst[16 + l] = static_cast<float>(w - v);
            }
        }
        cur = nxt;
    }
    std::free(buf);
    return true;
}

// ---- per-process cache of tables, in static storage ---------------------------
//
// A handle reads its table from the pool when it was found there or designed
// into it, and holds the slot meanwhile; a slot nobody holds may be evicted
// for a new table. When no room can be made the handle designs into a table
// of its own. No heap block outlives the handles.

constexpr size_t kPoolFloats = size_t{2} << 20;  // 8 MiB
constexpr int kSlots = 16;

struct CacheSlot {
    uint64_t m_bits, atten_bits;  // the key
    size_t off, floats;           // place in the pool
    uint64_t used;                // 0: empty; else the clock at the last use
    uint32_t holders;             // handles reading it
    bool ready;                   // designed (else being designed by its holder)
};

struct Cache {
    std::mutex mu;
    CacheSlot slot[kSlots];
    size_t head;
    uint64_t clock;
    alignas(64) float pool[kPoolFloats];
};

constinit Cache g_cache{};  // zero-initialised, in static storage from the start

uint64_t _bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool _overlaps(const CacheSlot &e, size_t off, size_t floats)
{
    return e.used && e.off < off + floats && off < e.off + e.floats;
}

// Room for floats at off unless a held table is in the way: evicts the others.
bool _make_room(size_t off, size_t floats)
{
    for (const CacheSlot &e : g_cache.slot)
        if (_overlaps(e, off, floats) && e.holders) return false;
    for (CacheSlot &e : g_cache.slot)
        if (_overlaps(e, off, floats)) e.used = 0;
    return true;
}

// The slot holding a designed table for the key (ready), or a slot reserved
// for it that the caller designs into (not ready), or -1. Taken by the caller.
int _cache_take(double m, double atten_db, size_t floats, bool &ready)
{
    if (floats > kPoolFloats) return -1;
    try {
        std::lock_guard<std::mutex> lock(g_cache.mu);
        for (int i = 0; i < kSlots; ++i) {
            CacheSlot &e = g_cache.slot[i];
            if (e.used && e.ready && e.m_bits == _bits(m) && e.atten_bits == _bits(atten_db) &&
                e.floats == floats) {
                ++e.holders;
                e.used = ++g_cache.clock;
                ready = true;
                return i;
            }
        }
        int pick = -1;
        for (int i = 0; i < kSlots; ++i) {  // an empty slot, else the least recently used one not held
            const CacheSlot &e = g_cache.slot[i];
            if (!e.used) {
                pick = i;
                break;
            }
            if (!e.holders && (pick < 0 || e.used < g_cache.slot[pick].used)) pick = i;
        }
        if (pick < 0) return -1;
        size_t off = g_cache.head + floats <= kPoolFloats ? g_cache.head : 0;
        if (!_make_room(off, floats)) {
            if (off == 0 || !_make_room(0, floats)) return -1;
            off = 0;
        }
        g_cache.slot[pick] = CacheSlot{_bits(m), _bits(atten_db), off, floats, ++g_cache.clock, 1, false};
        g_cache.head = (off + floats + 15) & ~size_t{15};
        ready = false;
        return pick;
    } catch (...) {
        return -1;
    }
}

float *_cache_table(int i) { return g_cache.pool + g_cache.slot[i].off; }

// The holder of a reserved slot has designed its table.
void _cache_ready(int i)
{
    try {
        std::lock_guard<std::mutex> lock(g_cache.mu);
        g_cache.slot[i].ready = true;
    } catch (...) {
    }
}

// A holder lets go; a reserved slot whose design failed is emptied.
void _cache_release(int i)
{
    try {
        std::lock_guard<std::mutex> lock(g_cache.mu);
        CacheSlot &e = g_cache.slot[i];
        --e.holders;
        if (!e.ready) e.used = 0;
    } catch (...) {
    }
}

// ---- processing ---------------------------------------------------------------

// The reference kernel.
void _dot_scalar(const presamp_batch *b, const presamp_job *jobs, size_t n, cf32_t *out)
{
    const size_t T = b->num_taps;
    for (size_t j = 0; j < n; ++j) {
        const float *row = b->tab + jobs[j].row;
        const float *xr = b->re + jobs[j].x, *xi = b->im + jobs[j].x;
        const float mu = jobs[j].mu;
        float ar[16] = {}, ai[16] = {};
        for (size_t k0 = 0; k0 < T; k0 += 16, row += 32) {
            for (size_t l = 0; l < 16; ++l) {
                const float c = std::fmaf(mu, row[16 + l], row[l]);
                ar[l] = std::fmaf(c, xr[k0 + l], ar[l]);
                ai[l] = std::fmaf(c, xi[k0 + l], ai[l]);
            }
        }
        for (size_t w = 8; w >= 1; w /= 2) {
            for (size_t l = 0; l < w; ++l) {
                ar[l] = ar[l] + ar[l + w];
                ai[l] = ai[l] + ai[l + w];
            }
        }
        out[j] = cf32_t{ar[0], ai[0]};
    }
}

void _push_scalar(float *re, float *im, size_t L, const cf32_t *src, size_t len)
{
    for (size_t k = 0; k < len; ++k) {
        re[k] = re[k + L] = src[len - 1 - k].re;
        im[k] = im[k + L] = src[len - 1 - k].im;
    }
}

struct Kernel {
    void (*dot)(const presamp_batch *, const presamp_job *, size_t, cf32_t *);
    void (*push)(float *, float *, size_t, const cf32_t *, size_t);
};

Kernel _kernel()
{
    if (const presamp_kernels *k = presamp_kernels_for(ddc_simd_level())) return {k->dot, k->push};
    return {_dot_scalar, _push_scalar};
}

size_t _run(presamp_state *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap, Kernel kernel)
{
    const size_t L = s->ring_size, mask = L - 1, T = s->num_taps;
    float *re = s->ring, *im = s->ring + 2 * L;
    const uint64_t step = s->step;
    const unsigned bits = s->bits, row_shift = 32u - bits;
    // A step whose fraction is whole rows (rates such as 0.4 = 2/5) puts every
    // output on a row, the rows repeating with the step's fraction. Only told
    // when decimating: interpolating, neighbours share their window instead.
    const uint32_t sf = static_cast<uint32_t>(step);
    const size_t period = step < kOne || sf & ((uint32_t{1} << row_shift) - 1) ? 0
                          : sf ? (uint64_t{1} << 32) >> std::countr_zero(sf) : 1;
    const presamp_batch batch{s->tab, T, re, im, period};
    const uint32_t row_floats = static_cast<uint32_t>(2 * T);
    size_t pos = s->pos;
    uint64_t acc = s->acc;
    size_t n = 0, i = 0;
    presamp_job jobs[kBatch];
    while (i < n_in) {
        const size_t m = n_in - i < kChunk ? n_in - i : kChunk;
        // Chunk input j goes to slot pos - 1 - j: one run of slots, or two
        // when it wraps below slot 0.
        if (pos >= m) {
            kernel.push(re + (pos - m), im + (pos - m), L, in + i, m);
        } else {
            kernel.push(re, im, L, in + i, pos);
            kernel.push(re + (L - (m - pos)), im + (L - (m - pos)), L, in + i + pos, m - pos);
        }
        // Outputs after chunk input u are those with u + 1 <= t < u + 2.
        const uint64_t lim = static_cast<uint64_t>(m + 1) << 32;
        uint64_t t = acc;
        while (t < lim) {
            size_t nj = 0;
            const size_t room = cap - n < kBatch ? cap - n : kBatch;
            for (; nj < room && t < lim; ++nj, t += step) {
                const uint32_t frac = static_cast<uint32_t>(t);
                jobs[nj].x = static_cast<uint32_t>((pos - (t >> 32)) & mask);
                jobs[nj].row = (frac >> row_shift) * row_floats;
                // The 24 bits below the row (bits >= 4 leaves at least 20).
                jobs[nj].mu = static_cast<float>((frac << bits) >> 8) * 0x1p-24f;
            }
            if (nj) kernel.dot(&batch, jobs, nj, out + n);
            n += nj;
            if (n == cap && t < lim) {
                // The next output needs the first k chunk inputs; its input is
                // taken only if it has given an output already.
                const uint64_t k = t >> 32;
                const bool owed = k == 0 || (t >= step && ((t - step) >> 32) == k);
                const uint64_t taken = owed ? k : k - 1;
                s->pos = (pos - taken) & mask;
                s->acc = t - (taken << 32);
                return n;
            }
        }
        acc = t - (static_cast<uint64_t>(m) << 32);
        pos = (pos - m) & mask;
        i += m;
    }
    s->pos = pos;
    s->acc = acc;
    return n;
}

}  // namespace

extern "C" {

presamp_state_t *presamp_create(double rate, double atten_db)
{
    if (!(rate > 0x1p-31 && rate < 0x1p31) || !(atten_db >= 40.0 && atten_db <= 140.0)) return nullptr;
    Geometry g;
    if (!_geometry(rate, atten_db, g)) return nullptr;

    auto *s = static_cast<presamp_state *>(std::calloc(1, sizeof(presamp_state)));
    if (!s) return nullptr;
    s->cache_slot = -1;
    s->rate = rate;
    s->atten_db = atten_db;
    s->delay = static_cast<double>(g.T0) / 2.0;
    s->num_phases = g.P;
    s->num_taps = g.T;
    s->step = static_cast<uint64_t>(std::nearbyint(4294967296.0 / rate));
    s->bits = g.bits;
    size_t L = 1;
    while (L < g.T + kChunk) L <<= 1;
    s->ring_size = L;
    s->ring = static_cast<float *>(std::aligned_alloc(64, 4 * L * sizeof(float)));
    if (!s->ring) {
        presamp_destroy(s);
        return nullptr;
    }

    const size_t floats = _table_floats(g);
    bool ready = false;
    const int slot = _cache_take(g.m, atten_db, floats, ready);
    float *tab;
    if (slot >= 0) {
        s->cache_slot = slot;
        tab = _cache_table(slot);
    } else {
        s->own_tab = static_cast<float *>(std::aligned_alloc(64, floats * sizeof(float)));
        tab = s->own_tab;
    }
    s->tab = tab;
    if (!tab || (!ready && !_design(g, tab))) {
        presamp_destroy(s);  // a reserved slot is emptied
        return nullptr;
    }
    if (slot >= 0 && !ready) _cache_ready(slot);
    presamp_reset(s);
    return s;
}

void presamp_destroy(presamp_state_t *s)
{
    if (!s) return;
    if (s->cache_slot >= 0) _cache_release(s->cache_slot);
    std::free(s->own_tab);
    std::free(s->ring);
    std::free(s);
}

void presamp_reset(presamp_state_t *s)
{
    std::memset(s->ring, 0, 4 * s->ring_size * sizeof(float));
    s->pos = 0;
    s->acc = kOne;  // output 0 falls due with input 0
}

double presamp_get_rate(const presamp_state_t *s) { return s->rate; }
double presamp_get_atten_db(const presamp_state_t *s) { return s->atten_db; }
size_t presamp_get_num_phases(const presamp_state_t *s) { return s->num_phases; }
size_t presamp_get_num_taps(const presamp_state_t *s) { return s->num_taps; }
double presamp_get_delay(const presamp_state_t *s) { return s->delay; }

size_t presamp_capacity(const presamp_state_t *s, size_t n_in)
{
    if (n_in == 0) return 0;
    // Outputs at acc + j step < (n_in + 1) 2^32.
    const unsigned __int128 lim = (static_cast<unsigned __int128>(n_in) + 1) << 32;
    if (lim <= s->acc) return 0;
    const unsigned __int128 c = (lim - s->acc + (s->step - 1)) / s->step;
    return c > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(c);
}

size_t presamp_execute(presamp_state_t *s, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap)
{
    if (n_in == 0) return 0;
    return _run(s, in, n_in, out, cap, _kernel());
}

}  // extern "C"
