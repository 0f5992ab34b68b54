/*
 * Library-internal: what the two half-band decimators share (not exported).
 *
 * Both stages take their input in pairs, keep the first and the second sample
 * of each pair in two mirrored rings and hold an odd sample over to the next
 * call. Long stretches of pairs go through the vector kernels from linear
 * windows (hbdecim_kernels.h): the history, oldest first, copied out of the
 * rings, then the stretch itself; afterwards the rings are rewritten exactly
 * as the same number of single pushes would leave them. All of that is generic
 * in the sample type S (float for the real-input stage, cf32_t for the complex
 * one); the filter arithmetic stays in each stage's own source.
 */
#ifndef DDC_STAGES_HBDECIM_COMMON_H
#define DDC_STAGES_HBDECIM_COMMON_H

#include "ddc_types.h"
#include "hbdecim_kernels.h"
#include "simd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ddc_hb {

// The fields both stages keep; each stage's state derives from it.
template <class S>
struct state_base {
    using sample = S;
    size_t num_taps;      // tap count n as created
    size_t half;          // n >> 1: stored coefficients, centre position in the window
    uint32_t even;        // 1 when n is even
    float *coeffs;        // half values, scaled by the stage at creation
    S *history_a;         // 2*L first samples of each pair, mirrored
    size_t history_size;  // L, power of two >= n
    size_t history_mask;  // L - 1
    size_t pos_a;         // slot of the newest sample in history_a
    S *history_b;         // 2*L second samples of each pair, mirrored
    size_t pos_b;         // slot of the newest sample in history_b
    uint32_t has_pending; // 1 while one input waits for its partner
    S pending;            // that input
};

template <class St>
void free_state(St *s) noexcept
{
    std::free(s->coeffs);
    std::free(s->history_a);
    std::free(s->history_b);
    std::free(s);
}

// A zeroed state of num_taps >= 1 taps with its rings and an unfilled
// coefficient array; null on an absurd tap count or an exhausted allocation.
template <class St>
St *alloc_state(size_t num_taps) noexcept
{
    using S = typename St::sample;
    // Absurd tap counts would overflow the ring size.
    size_t L = 1;
    while (L < num_taps) {
        if (L > SIZE_MAX / (4 * sizeof(S)))
            return nullptr;
        L <<= 1;
    }
    auto *s = static_cast<St *>(std::calloc(1, sizeof(St)));
    if (!s)
        return nullptr;
    s->num_taps = num_taps;
    s->half = num_taps >> 1;
    s->even = (num_taps & 1u) ? 0u : 1u;
    // At least one slot so that a tap count of 1 does not look like a failed allocation.
    s->coeffs = static_cast<float *>(std::malloc((s->half ? s->half : 1) * sizeof(float)));
    s->history_size = L;
    s->history_mask = L - 1;
    s->history_a = static_cast<S *>(std::calloc(2 * L, sizeof(S)));
    s->history_b = static_cast<S *>(std::calloc(2 * L, sizeof(S)));
    if (!s->coeffs || !s->history_a || !s->history_b) {
        free_state(s);
        return nullptr;
    }
    return s;
}

// Empty rings, no pending sample.
template <class S>
void reset_rings(state_base<S> &s) noexcept
{
    s.pos_a = 0;
    s.pos_b = 0;
    s.has_pending = 0;
    s.pending = S{};
    std::memset(s.history_a, 0, 2 * s.history_size * sizeof(S));
    std::memset(s.history_b, 0, 2 * s.history_size * sizeof(S));
}

// One pair into the rings; afterwards history_x + pos_x is the newest-first window.
template <class S>
inline void push_pair(state_base<S> &s, S first, S second) noexcept
{
    const size_t L = s.history_size;
    s.pos_a = (s.pos_a - 1) & s.history_mask;
    s.history_a[s.pos_a] = first;
    s.history_a[s.pos_a + L] = first;
    s.pos_b = (s.pos_b - 1) & s.history_mask;
    s.history_b[s.pos_b] = second;
    s.history_b[s.pos_b + L] = second;
}

#if defined(DDC_HAVE_SIMD)

constexpr size_t kVecMaxTaps = 512; // longer filters stay on the scalar kernel (designed plans go to ~400)
// Pairs per window fill: 4 KiB of each stream (1024 real pairs, 512
// complex), so that the windows and the copy stay in the first-level cache
// (measured on Zen 3: the complex stages' 1024 pairs ran up to 6 % slower).
template <class S>
constexpr size_t kVecRun = 4096 / sizeof(S);
constexpr size_t kVecMinPairs = 16; // shorter stretches are not worth a window

inline void run_kernel(const hb_kernels &k, const r2c_run &r) noexcept { k.r2c(r); }
inline void run_kernel(const hb_kernels &k, const c2c_run &r) noexcept { k.c2c(r); }

// Writes the ring as `count` pushes of the window's last `count` samples leave it.
template <class S>
void ring_store(S *hist, size_t &pos, size_t mask, size_t L, const S *newest, size_t count) noexcept
{
    pos = (pos - count) & mask;
    if (count >= L) {
        // Every slot: the newest-first window at pos (contiguous, as pos < L),
        // then the mirror halves from it; the bytes of the loop below.
        S *w = hist + pos;
        for (size_t d = 0; d < L; ++d)
            w[d] = newest[-static_cast<ptrdiff_t>(d)];
        std::memcpy(hist, hist + L, pos * sizeof(S));
        std::memcpy(hist + pos + L, hist + pos, (L - pos) * sizeof(S));
        return;
    }
    const size_t keep = count;
    for (size_t d = 0; d < keep; ++d) {
        const size_t slot = (pos + d) & mask;
        hist[slot] = newest[-static_cast<ptrdiff_t>(d)];
        hist[slot + L] = newest[-static_cast<ptrdiff_t>(d)];
    }
}

// `pairs` outputs from x through the kernels k, in runs of at most
// kVecRun<S> pairs; the rings advance exactly as `pairs` single pushes would.
// r carries the stage's own kernel fields; before(r) completes them for each run.
template <class S, class Run, class Before>
void produce_vector(state_base<S> &s, Run &r, const S *x, size_t pairs, cf32_t *y, const hb_kernels &k,
                    Before before) noexcept
{
    // The run starts on a 64-byte boundary; only the newest num_taps - 1
    // history samples are ever read, the slots in front of them are zeroed.
    constexpr size_t line = 64 / sizeof(S);
    alignas(64) S wa[kVecMaxTaps + kVecRun<S> + kWindowPad];
    alignas(64) S wb[kVecMaxTaps + kVecRun<S> + kWindowPad];
    // Room for the kernels' copy of wb half a line along (kLineCopy).
    alignas(64) S wc[kVecMaxTaps + kVecRun<S> + kWindowPad + 32 / sizeof(S)];
    const size_t used = s.num_taps - 1;
    const size_t hist = (used + line - 1) & ~(line - 1);
    for (size_t d = used; d < hist; ++d) {
        wa[hist - 1 - d] = S{};
        wb[hist - 1 - d] = S{};
    }
    const size_t L = s.history_size;
    const size_t mask = s.history_mask;
    r.wa = wa;
    r.wb = wb;
    r.wc = wc + 32 / sizeof(S);
    r.hist = hist;
    r.coeffs = s.coeffs;
    r.half = s.half;
    r.even = s.even;
    while (pairs) {
        const size_t count = pairs < kVecRun<S> ? pairs : kVecRun<S>;
        // Window index hist-1-d holds the sample pushed d pairs ago.
        for (size_t d = 0; d < used; ++d) {
            wa[hist - 1 - d] = s.history_a[s.pos_a + d];
            wb[hist - 1 - d] = s.history_b[s.pos_b + d];
        }
        r.x = x;
        r.count = count;
        r.y = y;
        // Hardware prefetchers stop at page boundaries and idle while a run
        // is filtered, so the filter loops ask for the inputs of the run
        // after next: spread over the filtering, the requests keep memory
        // busy without a burst (measured faster than the next run's, asked
        // for while this one is de-interleaved). Past the end of the block
        // too: a stream's next block mostly follows it in memory, and a
        // prefetch never faults, wherever it points (measured: the
        // real-input stage alone 6 % faster on blocks of 65536).
        r.ahead = reinterpret_cast<const S *>(reinterpret_cast<uintptr_t>(x) +
                                              (2 * count + 2 * kVecRun<S>) * sizeof(S));
        before(r);
        run_kernel(k, r);
        ring_store(s.history_a, s.pos_a, mask, L, wa + hist + count - 1, count);
        ring_store(s.history_b, s.pos_b, mask, L, wb + hist + count - 1, count);
        x += 2 * count;
        y += count;
        pairs -= count;
    }
}

#endif

// The execute loop of both stages: a pending sample first, then a vector
// stretch where it pays (produce_vector with r and before), then single
// pairs through produce(first, second, y); an odd last sample waits. Input i
// is load(i): x[i], or x[i] as a mixer in front of the stage changes it, which
// the vector kernels then do too (vec false where they cannot).
template <class S, class Produce, class Run, class Before, class Load>
size_t execute(state_base<S> *s, const S *x, size_t n_in, cf32_t *y, size_t cap, Produce produce,
               [[maybe_unused]] Run &r, [[maybe_unused]] Before before, Load load,
               [[maybe_unused]] bool vec = true) noexcept
{
    if (n_in == 0 || cap == 0)
        return 0;
    size_t i = 0;
    size_t j = 0;
    if (s->has_pending) {
        produce(s->pending, load(0), &y[0]);
        s->has_pending = 0;
        i = 1;
        j = 1;
    }
#if defined(DDC_HAVE_SIMD)
    const hb_kernels *k = vec ? hb_kernels_for(ddc_simd_level()) : nullptr;
    if (k && s->num_taps <= kVecMaxTaps) {
        size_t pairs = (n_in - i) / 2;
        if (pairs > cap - j)
            pairs = cap - j;
        if (pairs >= kVecMinPairs) {
            produce_vector(*s, r, x + i, pairs, y + j, *k, before);
            i += 2 * pairs;
            j += pairs;
        }
    }
#endif
    for (; i + 1 < n_in && j < cap; i += 2, ++j)
        produce(load(i), load(i + 1), &y[j]);
    if (i < n_in) {
        s->pending = load(i);
        s->has_pending = 1;
    }
    return j;
}

template <class S>
inline auto plain(const S *x) noexcept
{
    return [x](size_t i) { return x[i]; };
}

} // namespace ddc_hb

#endif
