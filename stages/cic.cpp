/*
 * Fourth-order CIC decimator, differential delay 1, power-of-two ratio R.
 *
 *   x -> quantise to int16 -> lift by 32768 -> I1..I4 (every input)
 *     -> every R-th input: C1..C4 (first differences) -> >> 4*log2(R) -> y = w/32768 - 1
 *
 * Everything between quantiser and shift is unsigned 64-bit arithmetic modulo
 * 2^64: the integrators overflow freely and the combs cancel the overflow
 * exactly, because the true filter output lies in [0, 65535 * R^4] < 2^64.
 * The lift keeps every value non-negative so the final shift is a plain
 * logical shift. The output mapping is one exact multiply-add.
 *
 * The loop here is the reference. On CPUs with AVX2 or AVX-512, cic_decimate
 * runs a vector variant (cic_avx2.cpp, cic_avx512.cpp) that quantises a chunk
 * at a time and integrates both channels together; it produces the same
 * outputs. Its integers are the scalar ones, or for R <= 16 those modulo 2^32,
 * which hold every output bit, so the scalar kernel can go on from its state.
 */
#include "cic_kernel.h"
#include "cic_simd.h"
#include "simd.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>

struct cic_state {
    uint64_t integ_i[4]; // integrators I1..I4, in-phase channel (real parts)
    uint64_t integ_q[4]; // integrators I1..I4, quadrature channel (imaginary parts)
    uint64_t comb_i[4];  // comb delays D1..D4, in-phase: comb inputs at the previous output
    uint64_t comb_q[4];  // comb delays D1..D4, quadrature
    uint32_t ratio;      // decimation ratio R, power of two in 2..4096
    uint32_t counter;    // inputs consumed since the last output, 0..R-1 between calls
    uint32_t shift;      // output shift 4*log2(R): log2 of the DC gain R^4
};

namespace {

bool _ratio_ok(uint32_t r)
{
    return r >= 2 && r <= 4096 && (r & (r - 1)) == 0;
}

// log2 by counting halvings; the ratio is already known to be a power of two.
uint32_t _shift_for(uint32_t r)
{
    uint32_t k = 0;
    for (;;) {
        ++k;
        if (r <= 3)
            break;
        r >>= 1;
    }
    return 4 * k;
}

void _clear(cic_state_t *s)
{
    for (int k = 0; k < 4; ++k) {
        s->integ_i[k] = 0;
        s->integ_q[k] = 0;
        s->comb_i[k] = 0;
        s->comb_q[k] = 0;
    }
    s->counter = 0;
}

// Signed 16-bit value lifted onto [0, 65535]. Clamping happens in float before
// the conversion, so the cast is always in range; NaN is caught first because
// it would slip through both comparisons.
inline uint64_t _lift(float x)
{
    float v = x * 32768.0f;
    if (v != v)
        return 0x8000u;
    if (v > 32767.0f)
        v = 32767.0f;
    if (v < -32768.0f)
        v = -32768.0f;
    const int32_t q = static_cast<int32_t>(v); // truncation toward zero
    return static_cast<uint64_t>(static_cast<int64_t>(q) + 0x8000);
}

inline void _integrate(uint64_t *I, uint64_t u)
{
    I[0] += u;
    I[1] += I[0];
    I[2] += I[1];
    I[3] += I[2];
}

inline float _comb(const uint64_t *I, uint64_t *D, uint32_t shift)
{
    const uint64_t d0 = I[3];
    const uint64_t d1 = d0 - D[0];
    D[0] = d0;
    const uint64_t d2 = d1 - D[1];
    D[1] = d1;
    const uint64_t d3 = d2 - D[2];
    D[2] = d2;
    const uint64_t d4 = d3 - D[3];
    D[3] = d3;
    const uint32_t w = static_cast<uint32_t>((d4 >> shift) & 0xFFFFu);
    return std::fmaf(static_cast<float>(w), 0x1p-15f, -1.0f);
}

} // namespace

extern "C" {

cic_state_t *cic_create(uint32_t ratio)
{
    if (!_ratio_ok(ratio))
        return nullptr;
    auto *s = static_cast<cic_state_t *>(std::calloc(1, sizeof(cic_state_t)));
    if (!s)
        return nullptr;
    s->ratio = ratio;
    s->shift = _shift_for(ratio);
    return s;
}

void cic_destroy(cic_state_t *s)
{
    std::free(s);
}

void cic_reset(cic_state_t *s)
{
    _clear(s);
}

void cic_reconfigure(cic_state_t *s, uint32_t ratio)
{
    if (!_ratio_ok(ratio))
        return;
    s->ratio = ratio;
    s->shift = _shift_for(ratio);
    _clear(s);
}

size_t cic_decimate_max_out(void)
{
    return 0;
}

uint32_t cic_get_ratio(const cic_state_t *s)
{
    return s->ratio;
}

uint32_t cic_get_shift(const cic_state_t *s)
{
    return s->shift;
}

uint32_t cic_get_counter(const cic_state_t *s)
{
    return s->counter;
}

static size_t _decimate_scalar(cic_state_t *s, const cf32_t *in, size_t n, cf32_t *out)
{
    // Work on locals so the hot loop keeps the state in registers.
    uint64_t Ii[4], Iq[4];
    for (int k = 0; k < 4; ++k) {
        Ii[k] = s->integ_i[k];
        Iq[k] = s->integ_q[k];
    }
    const uint32_t ratio = s->ratio;
    const uint32_t shift = s->shift;
    uint32_t counter = s->counter;
    size_t written = 0;

    for (size_t i = 0; i < n; ++i) {
        _integrate(Ii, _lift(in[i].re));
        _integrate(Iq, _lift(in[i].im));
        if (++counter >= ratio) {
            counter = 0;
            out[written].re = _comb(Ii, s->comb_i, shift);
            out[written].im = _comb(Iq, s->comb_q, shift);
            ++written;
        }
    }

    for (int k = 0; k < 4; ++k) {
        s->integ_i[k] = Ii[k];
        s->integ_q[k] = Iq[k];
    }
    s->counter = counter;
    return written;
}

size_t cic_decimate(cic_state_t *s, const cf32_t *in, size_t n, cf32_t *out)
{
    const cic_kernels *k = cic_kernels_for(ddc_simd_level());
    if (k && n) {
        cic_kernel_view v{s->integ_i, s->integ_q, s->comb_i, s->comb_q, s->ratio, s->shift, s->counter};
        const size_t written = k->decimate(&v, in, n, out);
        s->counter = v.counter;
        return written;
    }
    return _decimate_scalar(s, in, n, out);
}

size_t cic_execute(cic_state_t *s, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    if (!s || !in || !out || n == 0 || cap == 0)
        return 0;
    // Inputs up to and including the one that produces output number cap.
    const size_t r = s->ratio;
    size_t take = n;
    if (cap <= (SIZE_MAX - r) / r) { // otherwise cap*R exceeds any possible n
        const size_t needed = cap * r - s->counter;
        if (needed < take)
            take = needed;
    }
    return cic_decimate(s, in, take, out);
}

} // extern "C"
