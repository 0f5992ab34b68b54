/*
 * Library-internal: vectorised CIC decimation kernels (not exported).
 * Each produces exactly the integers of the scalar kernel: the same quantised
 * inputs, the same integrator and comb values modulo 2^64, the same outputs.
 */
#ifndef DDC_STAGES_CIC_SIMD_H
#define DDC_STAGES_CIC_SIMD_H

#include <cstddef>
#include <cstdint>

#include "ddc_types.h"
#include "simd_kernels.h"

struct cic_kernel_view {
    uint64_t *integ_i;  // I1..I4, in-phase, read and written back
    uint64_t *integ_q;  // I1..I4, quadrature
    uint64_t *comb_i;   // D1..D4, in-phase
    uint64_t *comb_q;   // D1..D4, quadrature
    uint32_t ratio;     // R
    uint32_t shift;     // 4 log2(R)
    uint32_t counter;   // in/out: inputs since the last output
};

// The 32-bit chunk scheme of the vector kernels (cic_body.inc, cic_neon.cpp),
// in an anonymous namespace like everything compiled per target.
namespace {

constexpr size_t kCicChunk = 512;  // samples quantised per pass
constexpr size_t kCicQuarter = kCicChunk / 4;
constexpr uint32_t kCicMaxRatio32 = 16;

// Binomial gains of a start state after m inputs: I4 gains
// s4 + m s3 + C(m+1, 2) s2 + C(m+2, 3) s1.
struct CicGains {
    uint32_t m1, m2, m3;
    explicit constexpr CicGains(uint32_t m) : m1(m), m2(m * (m + 1) / 2), m3(m * (m + 1) * (m + 2) / 6) {}
};

// For R >= 32, full chunks run as segments of this many inputs from zero:
// within one no integrator passes 2^32 in size (I4 < 65536 C(35, 4) < 2^32).
// A call takes its inputs one at a time up to a multiple of 32 after an
// output, so that, R being a multiple of 32, every output is a segment's end.
constexpr size_t kCicSegment = 32;

// The lift's share of a segment's integrator k, 0x8000 on every one of its
// inputs: the segments integrate the unlifted values and add it to their end
// values in 32 bits (the lifted values stay below 2^32, so they zero-extend).
constexpr uint64_t kCicSegmentG4 = kCicSegment * (kCicSegment + 1) * (kCicSegment + 2) * (kCicSegment + 3) / 24;
static_assert(0x8000 * kCicSegmentG4 < (uint64_t{1} << 32));
constexpr uint32_t kCicSegmentLift[4] = {0x8000u * CicGains(kCicSegment).m1, 0x8000u * CicGains(kCicSegment).m2,
                                         0x8000u * CicGains(kCicSegment).m3,
                                         static_cast<uint32_t>(0x8000 * kCicSegmentG4)};

// From the quarters' end states l (integrator k in l[k]; lanes 2q and 2q+1
// are quarter q's I and Q; quarter 0 ran from the true state, the others from
// zero), the true start state s of every lane (zero for quarter 0) and the
// chunk's true end, integrator k's (I, Q) in the low and high half of end[k].
inline void cic_quarter_states(const uint32_t (&l)[4][8], uint32_t (&s)[4][8], uint64_t (&end)[4])
{
    constexpr CicGains g(kCicQuarter);
    uint32_t e[4][2];
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 2; ++c) {
            e[k][c] = l[k][c];
            s[k][c] = 0;
        }
    for (int q = 1; q < 4; ++q)
        for (int c = 0; c < 2; ++c) {
            const int i = 2 * q + c;
            for (int k = 0; k < 4; ++k)
                s[k][i] = e[k][c];
            e[0][c] = l[0][i] + s[0][i];
            e[1][c] = l[1][i] + s[1][i] + g.m1 * s[0][i];
            e[2][c] = l[2][i] + s[2][i] + g.m1 * s[1][i] + g.m2 * s[0][i];
            e[3][c] = l[3][i] + s[3][i] + g.m1 * s[2][i] + g.m2 * s[1][i] + g.m3 * s[0][i];
        }
    for (int k = 0; k < 4; ++k)
        end[k] = e[k][0] | uint64_t{e[k][1]} << 32;
}

}  // namespace

struct cic_kernels {
    size_t (*decimate)(cic_kernel_view *v, const cf32_t *in, size_t n, cf32_t *out);
};
DDC_KERNEL_TABLES(cic_kernels)

#endif
