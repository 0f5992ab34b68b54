/*
 * Direct-form FIR filter for complex blocks, real or complex taps.
 *
 * Each call lays [last L-1 inputs | new block] out in one contiguous work
 * area, so every output is a plain dot product of the taps with a window of
 * that area, tap 0 against the newest sample:
 *     out[i] = sum_k tap[k] * work[i + L - 1 - k]
 * The block is copied in before anything is written, which makes in == out
 * safe. Afterwards the last L-1 samples of the area become the new history.
 *
 * Short filters (< 16 real or < 8 complex taps) accumulate strictly in tap
 * order with one fused multiply-add per tap and term. Long filters keep 16
 * (real) or 8 (complex) independent partial sums, one per tap position inside
 * a group, add them up in lane order and then fold in the leftover taps in
 * tap order.
 *
 * On CPUs with AVX2 or AVX-512 the same sums run in vector kernels
 * (fir_avx2.cpp, fir_avx512.cpp) that compute several outputs side by side,
 * each lane with the operations of the scalar loops below, so the results are
 * identical; these loops stay the reference.
 */
#include "fir.h"
#include "fir_internal.h"
#include "fir_simd.h"
#include "simd.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct fir_state {
    cf32_t *taps_c;  // owned complex taps (num_taps), null for a real-tap filter
    float *taps_r;   // owned real taps (num_taps), null for a complex-tap filter
    cf32_t *history; // last num_taps-1 inputs, oldest first; null when num_taps = 1
    cf32_t *work;    // [history | block] area, null until the first block
    size_t work_cap; // capacity of work in complex samples; only grows
    size_t num_taps; // tap count L >= 1
};

namespace {

constexpr size_t kRealGroup = 16;   // real taps per group on the long path
constexpr size_t kComplexGroup = 8; // complex taps per group on the long path

// Complex product, accumulated with four fused operations in a fixed order:
//   re += t.re*s.re, then re += (-t.im)*s.im
//   im += t.re*s.im, then im += t.im*s.re
inline void _cmac(cf32_t t, cf32_t s, float &re, float &im)
{
    re = std::fmaf(t.re, s.re, re);
    re = std::fmaf(-t.im, s.im, re);
    im = std::fmaf(t.re, s.im, im);
    im = std::fmaf(t.im, s.re, im);
}

// x points at the newest sample of the window; x[-k] meets tap k.
void _run_real_short(const float *t, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    for (size_t i = 0; i < n; ++i) {
        const cf32_t *x = w + i + L - 1;
        float re = 0.0f, im = 0.0f;
        for (size_t k = 0; k < L; ++k) {
            re = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].re, re);
            im = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].im, im);
        }
        out[i].re = re;
        out[i].im = im;
    }
}

void _run_real_long(const float *t, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    const size_t full = L - L % kRealGroup;
    for (size_t i = 0; i < n; ++i) {
        const cf32_t *x = w + i + L - 1;
        float pr[kRealGroup] = {}, pi[kRealGroup] = {};
        for (size_t g = 0; g < full; g += kRealGroup) {
            for (size_t j = 0; j < kRealGroup; ++j) {
                const size_t k = g + j;
                pr[j] = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].re, pr[j]);
                pi[j] = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].im, pi[j]);
            }
        }
        float re = pr[0], im = pi[0];
        for (size_t j = 1; j < kRealGroup; ++j) {
            re += pr[j];
            im += pi[j];
        }
        for (size_t k = full; k < L; ++k) {
            re = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].re, re);
            im = std::fmaf(t[k], x[-static_cast<ptrdiff_t>(k)].im, im);
        }
        out[i].re = re;
        out[i].im = im;
    }
}

void _run_complex_short(const cf32_t *t, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    for (size_t i = 0; i < n; ++i) {
        const cf32_t *x = w + i + L - 1;
        float re = 0.0f, im = 0.0f;
        for (size_t k = 0; k < L; ++k)
            _cmac(t[k], x[-static_cast<ptrdiff_t>(k)], re, im);
        out[i].re = re;
        out[i].im = im;
    }
}

void _run_complex_long(const cf32_t *t, size_t L, const cf32_t *w, size_t n, cf32_t *out)
{
    const size_t full = L - L % kComplexGroup;
    for (size_t i = 0; i < n; ++i) {
        const cf32_t *x = w + i + L - 1;
        float pr[kComplexGroup] = {}, pi[kComplexGroup] = {};
        for (size_t g = 0; g < full; g += kComplexGroup) {
            for (size_t j = 0; j < kComplexGroup; ++j) {
                const size_t k = g + j;
                _cmac(t[k], x[-static_cast<ptrdiff_t>(k)], pr[j], pi[j]);
            }
        }
        float re = pr[0], im = pi[0];
        for (size_t j = 1; j < kComplexGroup; ++j) {
            re += pr[j];
            im += pi[j];
        }
        for (size_t k = full; k < L; ++k)
            _cmac(t[k], x[-static_cast<ptrdiff_t>(k)], re, im);
        out[i].re = re;
        out[i].im = im;
    }
}

void _run_scalar(const fir_state_t *s, const cf32_t *w, size_t n, cf32_t *out)
{
    const size_t L = s->num_taps;
    if (s->taps_r) {
        if (L < kRealGroup)
            _run_real_short(s->taps_r, L, w, n, out);
        else
            _run_real_long(s->taps_r, L, w, n, out);
    } else {
        if (L < kComplexGroup)
            _run_complex_short(s->taps_c, L, w, n, out);
        else
            _run_complex_long(s->taps_c, L, w, n, out);
    }
}

// Allocates the handle and a zeroed history; the caller fills in the taps.
fir_state_t *_alloc(size_t L)
{
    auto *s = static_cast<fir_state_t *>(std::calloc(1, sizeof(fir_state_t)));
    if (!s)
        return nullptr;
    s->num_taps = L;
    if (L >= 2) {
        s->history = static_cast<cf32_t *>(std::calloc(L - 1, sizeof(cf32_t)));
        if (!s->history) {
            std::free(s);
            return nullptr;
        }
    }
    return s;
}

} // namespace

extern "C" {

fir_state_t *fir_create(const cf32_t *taps, size_t num_taps)
{
    if (!taps || num_taps == 0 || num_taps > SIZE_MAX / sizeof(cf32_t))
        return nullptr;
    fir_state_t *s = _alloc(num_taps);
    if (!s)
        return nullptr;
    s->taps_c = static_cast<cf32_t *>(std::malloc(num_taps * sizeof(cf32_t)));
    if (!s->taps_c) {
        fir_destroy(s);
        return nullptr;
    }
    std::memcpy(s->taps_c, taps, num_taps * sizeof(cf32_t));
    return s;
}

fir_state_t *fir_create_real(const float *taps, size_t num_taps)
{
    if (!taps || num_taps == 0 || num_taps > SIZE_MAX / sizeof(cf32_t))
        return nullptr;
    fir_state_t *s = _alloc(num_taps);
    if (!s)
        return nullptr;
    s->taps_r = static_cast<float *>(std::malloc(num_taps * sizeof(float)));
    if (!s->taps_r) {
        fir_destroy(s);
        return nullptr;
    }
    std::memcpy(s->taps_r, taps, num_taps * sizeof(float));
    return s;
}

void fir_destroy(fir_state_t *s)
{
    if (!s)
        return;
    std::free(s->taps_c);
    std::free(s->taps_r);
    std::free(s->history);
    std::free(s->work);
    std::free(s);
}

void fir_reset(fir_state_t *s)
{
    if (s->history)
        std::memset(s->history, 0, (s->num_taps - 1) * sizeof(cf32_t));
}

size_t fir_get_num_taps(const fir_state_t *s)
{
    return s->num_taps;
}

int fir_get_is_real(const fir_state_t *s)
{
    return s->taps_r != nullptr;
}

size_t fir_get_work_cap(const fir_state_t *s)
{
    return s->work_cap;
}

size_t fir_execute_max_out(void)
{
    return 0;
}

int fir_reserve(fir_state_t *s, size_t n)
{
    if (n == 0)
        return 0;
    const size_t hist = s->num_taps - 1;
    if (n > SIZE_MAX - hist)
        return -1;
    const size_t need = n + hist;
    if (s->work_cap >= need)
        return 0;
    // Old contents are dead between calls, so allocate fresh instead of
    // realloc (no copy); on failure the old area and state stay as they were.
    if (need > SIZE_MAX / sizeof(cf32_t))
        return -1;
    auto *w = static_cast<cf32_t *>(std::malloc(need * sizeof(cf32_t)));
    if (!w)
        return -1;
    std::free(s->work);
    s->work = w;
    s->work_cap = need;
    return 0;
}

size_t fir_execute(fir_state_t *s, const cf32_t *in, size_t n, cf32_t *out)
{
    if (!s || !in || !out || n == 0)
        return 0;
    if (fir_reserve(s, n) != 0)
        return 0;
    const size_t L = s->num_taps;
    const size_t hist = L - 1;

    cf32_t *w = s->work;
    if (hist)
        std::memcpy(w, s->history, hist * sizeof(cf32_t));
    std::memcpy(w + hist, in, n * sizeof(cf32_t));

    if (const fir_kernels *k = fir_kernels_for(ddc_simd_level()))
        k->run(s->taps_r, s->taps_c, L, w, n, out);
    else
        _run_scalar(s, w, n, out);

    if (hist)
        std::memcpy(s->history, w + n, hist * sizeof(cf32_t));
    return n;
}

} // extern "C"
