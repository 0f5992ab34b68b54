// Half-band real-to-complex decimator.
//
// Inputs are taken in pairs; each pair yields one output, so only the kept
// outputs of the 2:1 decimation are ever computed. The first sample of each
// pair goes into history A, the second into history B. A half-band filter has
// zero taps at even distances from the centre, so all branch taps fall into
// one history and the centre tap into the other. The fs/4 shift (multiplying
// input i by (-j)^i) costs nothing: it becomes alternating coefficient signs,
// a fixed sign on the centre, a real/imaginary swap (branch and centre land
// on different parts) and a sign flip on every other output. The symmetric
// branch is folded into differences, newer minus older, so each coefficient
// costs one subtraction and one fused multiply-add.
//
// Each history is a power-of-two ring stored twice over, so the window of any
// output is one contiguous newest-first run with no wrap-around test.
//
// The vectorised variants (hbdecim_avx2.cpp, hbdecim_avx512.cpp) compute many
// consecutive outputs at once from linear windows, history oldest first then
// the block's pairs, built here in runs; afterwards the ring is rewritten
// exactly as the same number of single pushes would leave it, so scalar and
// vector calls can follow each other in any order with identical results.

#include "hbdecim_r2c.h"
#include "hbdecim_kernels.h"
#include "simd.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct hbdecim_r2c_state {
    size_t num_taps;     // tap count n as created
    size_t half;         // n >> 1: stored coefficients, centre position in the window
    uint32_t even;       // 1 when n is even
    float centre_sign;   // +1 for n mod 4 in {1, 2}, else -1
    float *coeffs;       // half values, +/-0.5 * table alternating by index
    float *history_a;    // 2*L first samples of each pair, mirrored
    size_t history_size; // L, power of two >= n
    size_t history_mask; // L - 1
    size_t pos_a;        // slot of the newest sample in history_a
    float *history_b;    // 2*L second samples of each pair, mirrored
    size_t pos_b;        // slot of the newest sample in history_b
    uint32_t has_pending; // 1 while one input waits for its partner
    float pending;       // that input
    uint32_t parity;     // parity of outputs produced; odd outputs are negated
};

namespace {

// Folded branch sum over a newest-first window w: sum of c[k] * (w[k] - w[2h-1-k]).
// Long branches run 16 interleaved partial sums first; the tail is ascending.
float _branch_sum(const float *c, size_t h, const float *w) noexcept
{
    if (h == 0)
        return 0.0f;
    const size_t last = 2 * h - 1;
    size_t k = 0;
    float s = 0.0f;
    if (h >= 16) {
        float p[16];
        for (int r = 0; r < 16; ++r)
            p[r] = 0.0f;
        const size_t blocks_end = h & ~static_cast<size_t>(15);
        for (; k < blocks_end; k += 16)
            for (size_t r = 0; r < 16; ++r)
                p[r] = std::fmaf(c[k + r], w[k + r] - w[last - k - r], p[r]);
        float q[4];
        for (int l = 0; l < 4; ++l)
            q[l] = (p[4 + l] + p[l]) + (p[8 + l] + p[12 + l]);
        s = (q[0] + q[1]) + (q[2] + q[3]);
    }
    for (; k < h; ++k)
        s = std::fmaf(c[k], w[k] - w[last - k], s);
    return s;
}

inline void _push(float *hist, size_t &pos, size_t mask, size_t L, float v) noexcept
{
    pos = (pos - 1) & mask;
    hist[pos] = v;
    hist[pos + L] = v;
}

void _produce(hbdecim_r2c_state_t *s, float first, float second, cf32_t *y) noexcept
{
    const size_t L = s->history_size;
    _push(s->history_a, s->pos_a, s->history_mask, L, first);
    _push(s->history_b, s->pos_b, s->history_mask, L, second);
    const float *A = s->history_a + s->pos_a;
    const float *B = s->history_b + s->pos_b;
    const size_t h = s->half;
    const float scale = s->centre_sign * 0.5f;
    float re, im;
    if (s->even) {
        re = _branch_sum(s->coeffs, h, A);
        im = scale * B[h];
    } else {
        im = _branch_sum(s->coeffs, h, B + 1);
        re = scale * A[h];
    }
    if (s->parity) {
        re = -re;
        im = -im;
    }
    s->parity ^= 1u;
    y->re = re;
    y->im = im;
}

#if defined(__x86_64__)

constexpr size_t kVecMaxTaps = 256; // longer filters stay on the scalar kernel
constexpr size_t kVecRun = 1024;    // pairs per window fill
constexpr size_t kVecMinPairs = 16; // shorter stretches are not worth a window

// Writes the ring as `count` pushes of the window's last `count` samples leave it.
void _ring_store(float *hist, size_t &pos, size_t mask, size_t L, const float *newest,
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
void _produce_vector(hbdecim_r2c_state_t *s, const float *x, size_t pairs, cf32_t *y,
                     int level) noexcept
{
    // The run starts on a 64-byte boundary; only the newest num_taps - 1
    // history samples are ever read, the slots in front of them are zeroed.
    alignas(64) float wa[kVecMaxTaps + kVecRun + ddc_hb::kWindowPad];
    alignas(64) float wb[kVecMaxTaps + kVecRun + ddc_hb::kWindowPad];
    const size_t used = s->num_taps - 1;
    const size_t hist = (used + 15) & ~static_cast<size_t>(15);
    for (size_t d = used; d < hist; ++d) {
        wa[hist - 1 - d] = 0.0f;
        wb[hist - 1 - d] = 0.0f;
    }
    const size_t L = s->history_size;
    const size_t mask = s->history_mask;
    ddc_hb::r2c_run r;
    r.wa = wa;
    r.wb = wb;
    r.hist = hist;
    r.coeffs = s->coeffs;
    r.half = s->half;
    r.even = s->even;
    r.scale = s->centre_sign * 0.5f;
    while (pairs) {
        const size_t count = pairs < kVecRun ? pairs : kVecRun;
        // Window index hist-1-d holds the sample pushed d pairs ago.
        for (size_t d = 0; d < used; ++d) {
            wa[hist - 1 - d] = s->history_a[s->pos_a + d];
            wb[hist - 1 - d] = s->history_b[s->pos_b + d];
        }
        r.x = x;
        r.count = count;
        r.parity = s->parity;
        r.y = y;
        if (level >= DDC_SIMD_AVX512)
            ddc_hb::r2c_run_avx512(r);
        else
            ddc_hb::r2c_run_avx2(r);
        _ring_store(s->history_a, s->pos_a, mask, L, wa + hist + count - 1, count);
        _ring_store(s->history_b, s->pos_b, mask, L, wb + hist + count - 1, count);
        s->parity ^= static_cast<uint32_t>(count & 1u);
        x += 2 * count;
        y += count;
        pairs -= count;
    }
}

#endif

void _free_all(hbdecim_r2c_state_t *s) noexcept
{
    std::free(s->coeffs);
    std::free(s->history_a);
    std::free(s->history_b);
    std::free(s);
}

} // namespace

extern "C" {

hbdecim_r2c_state_t *hbdecim_r2c_create(size_t num_taps, const float *coeffs)
{
    if (num_taps == 0 || !coeffs)
        return nullptr;
    // Absurd tap counts would overflow the ring size.
    size_t L = 1;
    while (L < num_taps) {
        if (L > SIZE_MAX / (4 * sizeof(float)))
            return nullptr;
        L <<= 1;
    }
    auto *s = static_cast<hbdecim_r2c_state_t *>(std::calloc(1, sizeof(hbdecim_r2c_state_t)));
    if (!s)
        return nullptr;
    s->num_taps = num_taps;
    s->half = num_taps >> 1;
    s->even = (num_taps & 1u) ? 0u : 1u;
    const size_t m4 = num_taps & 3u;
    s->centre_sign = (m4 == 1 || m4 == 2) ? 1.0f : -1.0f;
    // At least one slot so that a tap count of 1 does not look like a failed allocation.
    s->coeffs = static_cast<float *>(std::malloc((s->half ? s->half : 1) * sizeof(float)));
    s->history_size = L;
    s->history_mask = L - 1;
    s->history_a = static_cast<float *>(std::calloc(2 * L, sizeof(float)));
    s->history_b = static_cast<float *>(std::calloc(2 * L, sizeof(float)));
    if (!s->coeffs || !s->history_a || !s->history_b) {
        _free_all(s);
        return nullptr;
    }
    for (size_t k = 0; k < s->half; ++k)
        s->coeffs[k] = coeffs[k] * ((k & 1u) ? -0.5f : 0.5f);
    return s;
}

void hbdecim_r2c_destroy(hbdecim_r2c_state_t *s)
{
    if (s)
        _free_all(s);
}

void hbdecim_r2c_reset(hbdecim_r2c_state_t *s)
{
    s->pos_a = 0;
    s->pos_b = 0;
    s->has_pending = 0;
    s->pending = 0.0f;
    s->parity = 0;
    std::memset(s->history_a, 0, 2 * s->history_size * sizeof(float));
    std::memset(s->history_b, 0, 2 * s->history_size * sizeof(float));
}

double hbdecim_r2c_get_rate(const hbdecim_r2c_state_t *s)
{
    (void)s;
    return 0.5;
}

size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c_state_t *s)
{
    return s->num_taps;
}

size_t hbdecim_r2c_execute(hbdecim_r2c_state_t *s, const float *x, size_t n_in, cf32_t *y,
                           size_t cap)
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
