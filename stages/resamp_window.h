/*
 * Library-internal: the interpolating loop of the vectorised resampler kernels
 * over a linear window instead of the history ring.
 *
 * Pushing each input into the ring right before a wide load of the window
 * stalls on store forwarding. Instead the inputs of a chunk are copied once,
 * newest first, in front of the current R-sample window in a local buffer, so
 * that the window after taking j inputs starts j samples further down and is
 * always contiguous. At the end the R samples of the final window are written
 * back to both copies of the ring at the positions the per-input pushes would
 * have left them, so the stored state is the same as the scalar path's.
 * Included by one kernel file per target; dot(row, window, T, dst) is that
 * target's dot product.
 */
#ifndef DDC_STAGES_RESAMP_WINDOW_H
#define DDC_STAGES_RESAMP_WINDOW_H

#include <cstring>

#include "resamp_simd.h"

namespace {

constexpr size_t kWindowChunk = 512;  // inputs copied per chunk; also the largest ring handled

// Ring size R handled by _interpolate_window; larger rings use the ring directly.
inline bool _window_fits(const resamp_interp_view *v) { return v->history_size <= kWindowChunk; }

template <class Dot>
size_t _interpolate_window(resamp_interp_view *v, const cf32_t *in, size_t n_in, cf32_t *out, size_t cap,
                           Dot dot)
{
    alignas(64) cf32_t buf[2 * kWindowChunk];  // [inputs of the chunk, newest first | window of R]
    const size_t T = v->num_taps, R = v->history_size, mask = v->history_mask;
    const unsigned shift = v->shift;
    const uint32_t step = v->step;
    cf32_t *hist = v->history;
    uint32_t phase = v->phase;
    // The ring read from the newest sample on is already newest first.
    std::memcpy(buf + kWindowChunk, hist + v->history_pos, R * sizeof(cf32_t));
    size_t p = kWindowChunk;  // newest sample of the current window
    size_t i = 0, n = 0, chunk_end = 0;
    do {
        if (i == chunk_end) {  // refill: move the window up, copy the next inputs reversed in front
            if (p != kWindowChunk) std::memmove(buf + kWindowChunk, buf + p, R * sizeof(cf32_t));
            p = kWindowChunk;
            const size_t m = n_in - i < kWindowChunk ? n_in - i : kWindowChunk;
            for (size_t j = 0; j < m; ++j) buf[kWindowChunk - 1 - j] = in[i + j];
            chunk_end = i + m;
        }
        dot(v->bank + static_cast<size_t>(phase >> shift) * T, buf + p, T, out + n++);
        const uint32_t next = phase + step;
        if (next < phase) {  // carry: an input period ended
            --p;
            ++i;
        }
        phase = next;
    } while (i < n_in && n < cap);
    // Ring state of i pushes: newest at pos - i, the k-th older sample k slots above it.
    const size_t pos = (v->history_pos - i) & mask;
    for (size_t k = 0; k < R; ++k) {
        const size_t at = (pos + k) & mask;
        hist[at] = hist[at + R] = buf[p + k];
    }
    v->phase = phase;
    v->history_pos = pos;
    return n;
}

}  // namespace

#endif
