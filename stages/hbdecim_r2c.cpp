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
// the block's pairs, built in runs by hbdecim_common.h, which also holds the
// rings, the pending sample and the execute loop shared with the complex
// stage; afterwards the ring is rewritten exactly as the same number of
// single pushes would leave it, so scalar and vector calls can follow each
// other in any order with identical results.

#include "hbdecim_r2c.h"
#include "hbdecim_common.h"
#include "hbdecim_r2c_internal.h"
#include "lo_mix.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

// coeffs hold +/-0.5 * table, alternating by index.
struct hbdecim_r2c_state : ddc_hb::state_base<float> {
    float centre_sign; // +1 for n mod 4 in {1, 2}, else -1
    uint32_t parity;   // parity of outputs produced; odd outputs are negated
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

void _produce(hbdecim_r2c_state_t *s, float first, float second, cf32_t *y) noexcept
{
    ddc_hb::push_pair(*s, first, second);
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

// A vector run's sign state: its centre scale and output parity, the
// parity moved on past it.
void _start_run(hbdecim_r2c_state_t *s, ddc_hb::r2c_run &run) noexcept
{
    run.scale = s->centre_sign * 0.5f;
    run.parity = s->parity;
    s->parity ^= static_cast<uint32_t>(run.count & 1u);
}

} // namespace

extern "C" {

hbdecim_r2c_state_t *hbdecim_r2c_create(size_t num_taps, const float *coeffs)
{
    if (num_taps == 0 || !coeffs)
        return nullptr;
    auto *s = ddc_hb::alloc_state<hbdecim_r2c_state_t>(num_taps);
    if (!s)
        return nullptr;
    const size_t m4 = num_taps & 3u;
    s->centre_sign = (m4 == 1 || m4 == 2) ? 1.0f : -1.0f;
    for (size_t k = 0; k < s->half; ++k)
        s->coeffs[k] = coeffs[k] * ((k & 1u) ? -0.5f : 0.5f);
    return s;
}

void hbdecim_r2c_destroy(hbdecim_r2c_state_t *s)
{
    if (s)
        ddc_hb::free_state(s);
}

void hbdecim_r2c_reset(hbdecim_r2c_state_t *s)
{
    ddc_hb::reset_rings(*s);
    s->parity = 0;
}

void hbdecim_r2c_carry_over(hbdecim_r2c_state_t *dst, const hbdecim_r2c_state_t *src)
{
    const size_t L = dst->history_size;
    const size_t keep = src->history_size < L ? src->history_size : L;
    const float *windows[2] = {src->history_a + src->pos_a, src->history_b + src->pos_b};
    float *rings[2] = {dst->history_a, dst->history_b};
    for (int r = 0; r < 2; ++r) {
        // Newest first from slot 0, mirrored, as push_pair leaves a ring.
        for (size_t i = 0; i < L; ++i)
            rings[r][i] = rings[r][i + L] = i < keep ? windows[r][i] : 0.0f;
    }
    dst->pos_a = 0;
    dst->pos_b = 0;
    dst->has_pending = src->has_pending;
    dst->pending = src->pending;
    dst->parity = src->parity;
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
    ddc_hb::r2c_run r;
    r.osc = nullptr;
    return ddc_hb::execute(
        s, x, n_in, y, cap, [s](float a, float b, cf32_t *out) { _produce(s, a, b, out); }, r,
        [s](ddc_hb::r2c_run &run) { _start_run(s, run); }, ddc_hb::plain(x));
}

} // extern "C"

size_t hbdecim_r2c_execute_lo(hbdecim_r2c_state_t *s, const float *x, size_t n_in, cf32_t *y, size_t cap,
                              lo_state_t *lo) noexcept
{
    const lo_osc o = lo_osc_of(lo);
    ddc_hb::r2c_run r;
    r.osc = o.pairs;
    r.osc_inc = o.inc;
    size_t first = 0, end = 0;  // the outputs the vector runs mixed
    const size_t m = ddc_hb::execute(
        s, x, n_in, y, cap, [s](float a, float b, cf32_t *out) { _produce(s, a, b, out); }, r,
        [s, y, o, &first, &end](ddc_hb::r2c_run &run) {
            _start_run(s, run);
            const size_t at = static_cast<size_t>(run.y - y);
            run.osc_phase = o.phase + static_cast<uint32_t>(at) * o.inc;
            if (first == end)
                first = at;
            end = at + run.count;
        },
        ddc_hb::plain(x));
    // The rest (a held-over sample's output, single pairs) through the mixer itself.
    lo_mix_block(lo, y, first, y);
    lo_skip(lo, end - first);
    lo_mix_block(lo, y + end, m - end, y + end);
    return m;
}
