// Fine oscillator.
//
// The 32-bit phase splits into a 12-bit table index and a 20-bit remainder.
// The table gives the sample at the start of the index's 1/4096-cycle step
// and the remainder, as an angle e below 2*pi/4096, turns it by
// cos e ~ 1 - e*e/2, sin e ~ e: the terms left out, e^3/6 and e^4/24, stay
// below 6.1e-10 (-184 dB), so the float32 roundings set the error: at most
// 1.095e-7 per sample over all 2^32 phases. No spur can exceed the largest
// per-sample error (a DFT bin of an error sequence is a mean of its samples),
// so every spur is at least 139 dB below the tone whatever the frequency; the
// 16-bit-index oscillator of lo.cpp is held to about 96 dB by its phase
// truncation.
//
// The table holds (cos, sin) pairs side by side, so one 64-bit load gives
// both parts. It is filled once per process, by the first
// nco_create, from double cos and sin of the first octant rounded to float32
// and mirrored, so it is exactly symmetric: exact 0 and 1 at the quarter
// turns, and cos of an index equals sin of its reflection.
//
// nco_steps and nco_mix share one kernel; the vector variants (nco_avx2.cpp,
// nco_avx512.cpp) run it on several samples side by side, each lane with the
// operations of the scalar loop below, which stays the reference.

#include "nco.h"
#include "nco_simd.h"
#include "phase_inc.h"
#include "simd.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>

using ddc_nco::kFracBits;
using ddc_nco::kFracMask;
using ddc_nco::kRadPerUnit;
using ddc_nco::kTableSize;

struct nco_state {
    uint32_t phase;     // accumulator, 2^32 = one cycle
    uint32_t phase_inc; // added after every sample
    double norm_freq;   // cycles per sample as last set, not wrapped
};

namespace {

constexpr double kTwoPi = 6.283185307179586;

alignas(64) cf32_t tab[kTableSize];        // (cos, sin) of 2*pi*i/4096
std::atomic<unsigned char> tab_ready{0};   // 1 once every entry of tab is written

// 0 - v rather than -v: the mirrored zeros stay +0.
inline float _neg(float v) noexcept { return 0.0f - v; }

void _fill_tab() noexcept
{
    constexpr size_t quarter = kTableSize / 4;
    constexpr size_t eighth = kTableSize / 8;
    float c[eighth + 1], s[eighth + 1];
    for (size_t k = 0; k <= eighth; ++k) {
        const double a = static_cast<double>(k) * (kTwoPi / static_cast<double>(kTableSize));
        c[k] = static_cast<float>(std::cos(a));
        s[k] = static_cast<float>(std::sin(a));
    }
    c[0] = 1.0f;
    s[0] = 0.0f;
    for (size_t i = 0; i < kTableSize; ++i) {
        const size_t j = i % quarter;
        cf32_t v = j <= eighth ? cf32_t{c[j], s[j]} : cf32_t{s[quarter - j], c[quarter - j]};
        switch (i / quarter) {
        case 1: v = cf32_t{_neg(v.im), v.re}; break;
        case 2: v = cf32_t{_neg(v.re), _neg(v.im)}; break;
        case 3: v = cf32_t{v.im, _neg(v.re)}; break;
        default: break;
        }
        tab[i] = v;
    }
    tab_ready.store(1, std::memory_order_release);
}

// First creations may race in different threads; the guarded static runs the
// fill exactly once and makes the others wait for it.
void _ensure_tab() noexcept
{
    if (tab_ready.load(std::memory_order_acquire))
        return;
    static const bool filled = (_fill_tab(), true);
    (void)filled;
}

inline cf32_t _osc(uint32_t p) noexcept
{
    return ddc_nco::osc(tab, p);
}

// Scalar reference: the oscillator alone when x is null, else x times it.
void _run_scalar(uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    if (!x) {
        for (size_t k = 0; k < n; ++k, phase += inc)
            out[k] = _osc(phase);
        return;
    }
    for (size_t k = 0; k < n; ++k, phase += inc)
        out[k] = ddc_nco::mix(x[k], _osc(phase));
}

void _run(nco_state_t *s, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    const uint32_t phase = s->phase;
    const uint32_t inc = s->phase_inc;
    if (const nco_kernels *k = nco_kernels_for(ddc_simd_level()))
        k->run(tab, phase, inc, x, n, out);
    else
        _run_scalar(phase, inc, x, n, out);
    s->phase = phase + static_cast<uint32_t>(n) * inc;
}

} // namespace

const cf32_t *ddc_nco::table() noexcept
{
    _ensure_tab();
    return tab;
}

extern "C" {

nco_state_t *nco_create(double norm_freq)
{
    _ensure_tab();
    auto *s = static_cast<nco_state_t *>(std::calloc(1, sizeof(nco_state_t)));
    if (!s)
        return nullptr;
    s->phase = 0;
    s->phase_inc = ddc_phase::freq_to_inc(norm_freq);
    s->norm_freq = norm_freq;
    return s;
}

void nco_destroy(nco_state_t *s)
{
    std::free(s);
}

void nco_reset(nco_state_t *s)
{
    s->phase = 0;
}

double nco_get_norm_freq(const nco_state_t *s)
{
    return s->norm_freq;
}

void nco_set_norm_freq(nco_state_t *s, double norm_freq)
{
    s->phase_inc = ddc_phase::freq_to_inc(norm_freq);
    s->norm_freq = norm_freq;
}

uint32_t nco_get_phase(const nco_state_t *s)
{
    return s->phase;
}

void nco_set_phase(nco_state_t *s, uint32_t phase)
{
    s->phase = phase;
}

uint32_t nco_get_phase_inc(const nco_state_t *s)
{
    return s->phase_inc;
}

size_t nco_steps(nco_state_t *s, size_t n, cf32_t *out)
{
    if (n)
        _run(s, nullptr, n, out);
    return n;
}

size_t nco_mix(nco_state_t *s, const cf32_t *in, size_t n, cf32_t *out)
{
    if (n)
        _run(s, in, n, out);
    return n;
}

} // extern "C"
