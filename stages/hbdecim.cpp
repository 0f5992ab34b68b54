// Half-band decimator for complex streams.
//
// Same polyphase structure as the real-to-complex decimator, without the
// frequency shift: inputs are taken in pairs, the first sample of each pair
// goes into history A and the second into history B, and each pair yields
// one output. The half-band filter's branch taps all fall into one history
// and its centre tap into the other; the symmetric branch is folded into
// sums of paired samples, one addition and one fused multiply-add per
// coefficient, and the centre is added last as fma(0.5, centre, branch).
// Real and imaginary parts are filtered independently with the same real
// coefficients.
//
// Each history is a power-of-two ring stored twice over, so the window of any
// output is one contiguous newest-first run with no wrap-around test.
//
// The vectorised variants (hbdecim_avx2.cpp, hbdecim_avx512.cpp) compute many
// consecutive outputs at once from linear windows, history oldest first then
// the block's pairs, built here in runs; afterwards the ring is rewritten
// exactly as the same number of single pushes would leave it, so scalar and
// vector calls can follow each other in any order with identical results.

#include "hbdecim.h"
#include "hbdecim_kernels.h"
#include "simd.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct hbdecim_state {
    size_t num_taps;     // tap count n as created
    size_t half;         // n >> 1: stored coefficients, centre position in the window
    uint32_t even;       // 1 when n is even
    float *coeffs;       // half values, 0.5 * table
    cf32_t *history_a;   // 2*L first samples of each pair, mirrored
    size_t history_size; // L, power of two >= n
    size_t history_mask; // L - 1
    size_t pos_a;        // slot of the newest sample in history_a
    cf32_t *history_b;   // 2*L second samples of each pair, mirrored
    size_t pos_b;        // slot of the newest sample in history_b
    uint32_t has_pending; // 1 while one input waits for its partner
    cf32_t pending;      // that input
};

namespace {

// Folded branch sum over a newest-first window w: sum of c[k] * (w[k] + w[2h-1-k]),
// per part. Long branches run 16 interleaved partial sums first; the tail is ascending.
cf32_t _branch_sum(const float *c, size_t h, const cf32_t *w) noexcept
{
    cf32_t s = {0.0f, 0.0f};
    if (h == 0)
        return s;
    const size_t last = 2 * h - 1;
    size_t k = 0;
    if (h >= 16) {
        float pr[16], pi[16];
        for (int r = 0; r < 16; ++r) {
            pr[r] = 0.0f;
            pi[r] = 0.0f;
        }
        const size_t blocks_end = h & ~static_cast<size_t>(15);
        for (; k < blocks_end; k += 16)
            for (size_t r = 0; r < 16; ++r) {
                const cf32_t a = w[k + r];
                const cf32_t b = w[last - k - r];
                pr[r] = std::fmaf(c[k + r], a.re + b.re, pr[r]);
                pi[r] = std::fmaf(c[k + r], a.im + b.im, pi[r]);
            }
        float qr[4], qi[4];
        for (int l = 0; l < 4; ++l) {
            qr[l] = (pr[4 + l] + pr[l]) + (pr[8 + l] + pr[12 + l]);
            qi[l] = (pi[4 + l] + pi[l]) + (pi[8 + l] + pi[12 + l]);
        }
        s.re = (qr[0] + qr[1]) + (qr[2] + qr[3]);
        s.im = (qi[0] + qi[1]) + (qi[2] + qi[3]);
    }
    for (; k < h; ++k) {
        const cf32_t a = w[k];
        const cf32_t b = w[last - k];
        s.re = std::fmaf(c[k], a.re + b.re, s.re);
        s.im = std::fmaf(c[k], a.im + b.im, s.im);
    }
    return s;
}

inline void _push(cf32_t *hist, size_t &pos, size_t mask, size_t L, cf32_t v) noexcept
{
    pos = (pos - 1) & mask;
    hist[pos] = v;
    hist[pos + L] = v;
}

void _produce(hbdecim_state_t *s, cf32_t first, cf32_t second, cf32_t *y) noexcept
{
    const size_t L = s->history_size;
    _push(s->history_a, s->pos_a, s->history_mask, L, first);
    _push(s->history_b, s->pos_b, s->history_mask, L, second);
    const cf32_t *A = s->history_a + s->pos_a;
    const cf32_t *B = s->history_b + s->pos_b;
    const size_t h = s->half;
    cf32_t acc;
    cf32_t centre;
    if (s->even) {
        acc = _branch_sum(s->coeffs, h, A);
        centre = B[h];
    } else {
        acc = _branch_sum(s->coeffs, h, B + 1);
        centre = A[h];
    }
    y->re = std::fmaf(0.5f, centre.re, acc.re);
    y->im = std::fmaf(0.5f, centre.im, acc.im);
}

#if defined(__x86_64__)

constexpr size_t kVecMaxTaps = 256; // longer filters stay on the scalar kernel
constexpr size_t kVecRun = 1024;    // pairs per window fill
constexpr size_t kVecMinPairs = 16; // shorter stretches are not worth a window

// Writes the ring as `count` pushes of the window's last `count` samples leave it.
void _ring_store(cf32_t *hist, size_t &pos, size_t mask, size_t L, const cf32_t *newest,
                 size_t count) noexcept
{
    pos = (pos - count) & mask;
    const size_t keep = count < L ? count : L;
    for (size_t d = 0; d < keep; ++d) {
        const size_t slot = (pos + d) & mask;
        hist[slot] = newest[-static_cast<ptrdiff_t>(d)];
        hist[slot + L] = newest[-static_cast<ptrdiff_t>(d)];
    }
}

// `pairs` outputs from x through a vector kernel; state advances exactly as
// `pairs` calls of _produce would advance it.
void _produce_vector(hbdecim_state_t *s, const cf32_t *x, size_t pairs, cf32_t *y,
                     int level) noexcept
{
    // The run starts on a 64-byte boundary; only the newest num_taps - 1
    // history samples are ever read, the slots in front of them are zeroed.
    alignas(64) cf32_t wa[kVecMaxTaps + kVecRun + ddc_hb::kWindowPad];
    alignas(64) cf32_t wb[kVecMaxTaps + kVecRun + ddc_hb::kWindowPad];
    const size_t used = s->num_taps - 1;
    const size_t hist = (used + 7) & ~static_cast<size_t>(7);
    for (size_t d = used; d < hist; ++d) {
        wa[hist - 1 - d] = cf32_t{0.0f, 0.0f};
        wb[hist - 1 - d] = cf32_t{0.0f, 0.0f};
    }
    const size_t L = s->history_size;
    const size_t mask = s->history_mask;
    ddc_hb::c2c_run r;
    r.wa = wa;
    r.wb = wb;
    r.hist = hist;
    r.coeffs = s->coeffs;
    r.half = s->half;
    r.even = s->even;
    while (pairs) {
        const size_t count = pairs < kVecRun ? pairs : kVecRun;
        // Window index hist-1-d holds the sample pushed d pairs ago.
        for (size_t d = 0; d < used; ++d) {
            wa[hist - 1 - d] = s->history_a[s->pos_a + d];
            wb[hist - 1 - d] = s->history_b[s->pos_b + d];
        }
        r.x = x;
        r.count = count;
        r.y = y;
        if (level >= DDC_SIMD_AVX512)
            ddc_hb::c2c_run_avx512(r);
        else
            ddc_hb::c2c_run_avx2(r);
        _ring_store(s->history_a, s->pos_a, mask, L, wa + hist + count - 1, count);
        _ring_store(s->history_b, s->pos_b, mask, L, wb + hist + count - 1, count);
        x += 2 * count;
        y += count;
        pairs -= count;
    }
}

#endif

void _free_all(hbdecim_state_t *s) noexcept
{
    std::free(s->coeffs);
    std::free(s->history_a);
    std::free(s->history_b);
    std::free(s);
}

} // namespace

extern "C" {

hbdecim_state_t *hbdecim_create(size_t num_taps, const float *coeffs)
{
    if (num_taps == 0 || !coeffs)
        return nullptr;
    // Absurd tap counts would overflow the ring size.
    size_t L = 1;
    while (L < num_taps) {
        if (L > SIZE_MAX / (4 * sizeof(cf32_t)))
            return nullptr;
        L <<= 1;
    }
    auto *s = static_cast<hbdecim_state_t *>(std::calloc(1, sizeof(hbdecim_state_t)));
    if (!s)
        return nullptr;
    s->num_taps = num_taps;
    s->half = num_taps >> 1;
    s->even = (num_taps & 1u) ? 0u : 1u;
    // At least one slot so that a tap count of 1 does not look like a failed allocation.
    s->coeffs = static_cast<float *>(std::malloc((s->half ? s->half : 1) * sizeof(float)));
    s->history_size = L;
    s->history_mask = L - 1;
    s->history_a = static_cast<cf32_t *>(std::calloc(2 * L, sizeof(cf32_t)));
    s->history_b = static_cast<cf32_t *>(std::calloc(2 * L, sizeof(cf32_t)));
    if (!s->coeffs || !s->history_a || !s->history_b) {
        _free_all(s);
        return nullptr;
    }
    for (size_t k = 0; k < s->half; ++k)
        s->coeffs[k] = 0.5f * coeffs[k];
    return s;
}

void hbdecim_destroy(hbdecim_state_t *s)
{
    if (s)
        _free_all(s);
}

void hbdecim_reset(hbdecim_state_t *s)
{
    s->pos_a = 0;
    s->pos_b = 0;
    s->has_pending = 0;
    s->pending = cf32_t{0.0f, 0.0f};
    std::memset(s->history_a, 0, 2 * s->history_size * sizeof(cf32_t));
    std::memset(s->history_b, 0, 2 * s->history_size * sizeof(cf32_t));
}

double hbdecim_get_rate(const hbdecim_state_t *s)
{
    (void)s;
    return 0.5;
}

size_t hbdecim_get_num_taps(const hbdecim_state_t *s)
{
    return s->num_taps;
}

size_t hbdecim_execute(hbdecim_state_t *s, const cf32_t *x, size_t n_in, cf32_t *y, size_t cap)
{
    if (n_in == 0 || cap == 0)
        return 0;
    size_t i = 0;
    size_t j = 0;
    if (s->has_pending) {
        _produce(s, s->pending, x[0], &y[0]);
        s->has_pending = 0;
        i = 1;
        j = 1;
    }
#if defined(__x86_64__)
    const int level = ddc_simd_level();
    if (level != DDC_SIMD_SCALAR && s->num_taps <= kVecMaxTaps) {
        size_t pairs = (n_in - i) / 2;
        if (pairs > cap - j)
            pairs = cap - j;
        if (pairs >= kVecMinPairs) {
            _produce_vector(s, x + i, pairs, y + j, level);
            i += 2 * pairs;
            j += pairs;
        }
    }
#endif
    for (; i + 1 < n_in && j < cap; i += 2, ++j)
        _produce(s, x[i], x[i + 1], &y[j]);
    if (i < n_in) {
        s->pending = x[i];
        s->has_pending = 1;
    }
    return j;
}

} // extern "C"
