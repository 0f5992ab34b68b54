// Local oscillator.
//
// A 32-bit phase accumulator (2^32 = one cycle) steps by a fixed increment per
// sample; the top 16 bits of the phase index a 65536-entry float32 sine table,
// and the cosine is the same table read a quarter turn (16384 entries) ahead.
// No trigonometry runs per sample. The table is shared by every oscillator of
// the process: it is filled once, by the first lo_create, and only read after.
// Frequencies wrap into [0, 1) only when they become an increment, so the
// stored frequency is exactly what the caller gave.
//
// lo_mix fuses the oscillator with the down-converters' mixer. Its vector
// variant reads a second table holding each index's (cosine, sine) pair side
// by side, copied from the sine table at the same one-time fill: one load per
// sample instead of two from distant cache lines. Only CPUs that can run the
// variant get it filled.

#include "lo.h"
#include "lo_mix.h"
#include "phase_inc.h"
#include "simd.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct lo_state {
    uint32_t phase;     // accumulator, 2^32 = one cycle
    uint32_t phase_inc; // added after every sample
    double norm_freq;   // cycles per sample as last set, not wrapped
};

namespace {

constexpr size_t kLutSize = 65536;
constexpr uint32_t kQuarter = 16384;

float lut[kLutSize];                   // sin(i * delta), float32
std::atomic<unsigned char> lut_ready{0}; // 1 once every entry of lut is written
cf32_t lut_pairs[kLutSize];            // (lut[i + quarter], lut[i]): oscillator sample of index i

void _fill_lut() noexcept
{
    // float32 nearest to 2*pi/65536
    const uint32_t delta_bits = 0x38C90FDBu;
    float delta;
    std::memcpy(&delta, &delta_bits, sizeof delta);
    for (size_t k = 0; k < kLutSize; k += 2) {
        const float a = static_cast<float>(k) * delta;
        const float b = static_cast<float>(k + 1) * delta;
        lut[k] = std::sin(a);
        lut[k + 1] = std::sin(b);
    }
    if (ddc_simd_supported() != DDC_SIMD_SCALAR)
        for (size_t i = 0; i < kLutSize; ++i)
            lut_pairs[i] = cf32_t{lut[(i + kQuarter) & 0xFFFFu], lut[i]};
    lut_ready.store(1, std::memory_order_release);
}

// First creations may race in different threads; the guarded static runs the
// fill exactly once and makes the others wait for it.
void _ensure_lut() noexcept
{
    if (lut_ready.load(std::memory_order_acquire))
        return;
    static const bool filled = (_fill_lut(), true);
    (void)filled;
}

inline void _sample(uint32_t phase, cf32_t *out) noexcept
{
    const uint32_t idx = phase >> 16;
    out->re = lut[(idx + kQuarter) & 0xFFFFu];
    out->im = lut[idx];
}

// Scalar reference of the fused oscillator and mixer.
void _mix_scalar(uint32_t phase, uint32_t inc, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    for (size_t k = 0; k < n; ++k) {
        cf32_t o;
        _sample(phase, &o);
        const cf32_t a = x[k];
        const float re = std::fmaf(o.re, a.re, -(o.im * a.im));
        const float im = std::fmaf(o.im, a.re, o.re * a.im);
        out[k].re = re;
        out[k].im = im;
        phase += inc;
    }
}

} // namespace

void lo_mix_block(lo_state_t *s, const cf32_t *x, size_t n, cf32_t *out) noexcept
{
    const uint32_t phase = s->phase;
    const uint32_t inc = s->phase_inc;
    if (const lo_kernels *k = lo_kernels_for(ddc_simd_level()))
        k->mix(lut_pairs, phase, inc, x, n, out);
    else
        _mix_scalar(phase, inc, x, n, out);
    s->phase = phase + static_cast<uint32_t>(n) * inc;
}

lo_osc lo_osc_of(const lo_state_t *s) noexcept
{
    return {lut_pairs, s->phase, s->phase_inc};
}

void lo_skip(lo_state_t *s, size_t n) noexcept
{
    s->phase += static_cast<uint32_t>(n) * s->phase_inc;
}

extern "C" {

lo_state_t *lo_create(double norm_freq)
{
    _ensure_lut();
    auto *s = static_cast<lo_state_t *>(std::calloc(1, sizeof(lo_state_t)));
    if (!s)
        return nullptr;
    s->phase = 0;
    s->phase_inc = ddc_phase::freq_to_inc(norm_freq);
    s->norm_freq = norm_freq;
    return s;
}

void lo_destroy(lo_state_t *s)
{
    std::free(s);
}

void lo_reset(lo_state_t *s)
{
    s->phase = 0;
}

double lo_get_norm_freq(const lo_state_t *s)
{
    return s->norm_freq;
}

void lo_set_norm_freq(lo_state_t *s, double norm_freq)
{
    s->phase_inc = ddc_phase::freq_to_inc(norm_freq);
    s->norm_freq = norm_freq;
}

uint32_t lo_get_phase(const lo_state_t *s)
{
    return s->phase;
}

void lo_set_phase(lo_state_t *s, uint32_t phase)
{
    s->phase = phase;
}

uint32_t lo_get_phase_inc(const lo_state_t *s)
{
    return s->phase_inc;
}

size_t lo_steps(lo_state_t *s, size_t n, cf32_t *out)
{
    uint32_t phase = s->phase;
    const uint32_t inc = s->phase_inc;
    for (size_t k = 0; k < n; ++k) {
        _sample(phase, &out[k]);
        phase += inc;
    }
    s->phase = phase;
    return n;
}

size_t lo_steps_ctrl(lo_state_t *s, const float *ctrl, size_t n, cf32_t *out)
{
    uint32_t phase = s->phase;
    const uint32_t inc = s->phase_inc;
    for (size_t k = 0; k < n; ++k) {
        _sample(phase, &out[k]);
        phase += inc + ddc_phase::freq_to_inc(static_cast<double>(ctrl[k]));
    }
    s->phase = phase;
    return n;
}

size_t lo_mix(lo_state_t *s, const cf32_t *x, size_t n, cf32_t *out)
{
    lo_mix_block(s, x, n, out);
    return n;
}

size_t lo_steps_max_out(void)
{
    return kLutSize;
}

size_t lo_steps_ctrl_max_out(void)
{
    return kLutSize;
}

} // extern "C"
