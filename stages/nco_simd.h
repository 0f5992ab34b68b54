/*
 * Library-internal: vector kernels of the fine oscillator (not exported).
 *
 * Each writes n samples from `phase` stepping by `inc`: the oscillator itself
 * when x is null, otherwise x[k] times it (out may equal x). tab is the
 * 4096-entry (cos, sin) table of nco.cpp, 64-byte aligned. Every lane performs
 * the scalar kernel's float32 operations, so the bits are those of nco.cpp's
 * reference loop.
 */
#ifndef DDC_STAGES_NCO_SIMD_H
#define DDC_STAGES_NCO_SIMD_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

namespace ddc_nco {

constexpr int kTableBits = 12;
constexpr size_t kTableSize = size_t{1} << kTableBits;
constexpr int kFracBits = 32 - kTableBits;
constexpr uint32_t kFracMask = (uint32_t{1} << kFracBits) - 1;
// float32 nearest to 2*pi / 2^32: radians per phase unit
constexpr float kRadPerUnit = static_cast<float>(6.283185307179586 / 4294967296.0);

// Internal linkage: every source, whatever its target flags, compiles its
// own copies, so the linker never hands one built for a vector target to the
// scalar code, and the fused operations are instructions wherever the target
// has them.
namespace {

// The oscillator's sample at phase p from the table.
inline cf32_t osc(const cf32_t *tab, uint32_t p) noexcept
{
    const cf32_t t = tab[p >> kFracBits];
    const float e = static_cast<float>(static_cast<int32_t>(p & kFracMask)) * kRadPerUnit;
    const float c = std::fmaf(-(0.5f * e), e, 1.0f);
    return cf32_t{std::fmaf(t.re, c, -(t.im * e)), std::fmaf(t.im, c, t.re * e)};
}

// x times the oscillator sample o, as nco_mix forms it.
inline cf32_t mix(cf32_t x, cf32_t o) noexcept
{
    return cf32_t{std::fmaf(x.re, o.re, -(x.im * o.im)), std::fmaf(x.re, o.im, x.im * o.re)};
}

} // namespace

// The process-wide table, filled on first use.
const cf32_t *table() noexcept;

} // namespace ddc_nco

struct nco_kernels {
    void (*run)(const cf32_t *tab, uint32_t phase, uint32_t inc, const cf32_t *x, size_t n,
                cf32_t *out) noexcept;
};
DDC_KERNEL_TABLES(nco_kernels)

#endif
