// AVX2+FMA block kernels of the half-band decimators.
//
// Eight consecutive real-to-complex outputs (four complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_body.inc).
#include "hbdecim_kernels.h"
#include "isa_avx2.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 2;
    static constexpr size_t UL = 2;
    static constexpr size_t kR2cLongFrom = 16;
    static constexpr bool kShift = false; // no cheap cross-lane shift
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        return parity ? _mm256_setr_ps(n, 0, n, 0, n, 0, n, 0) : _mm256_setr_ps(0, n, 0, n, 0, n, 0, n);
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_avx2 = {_r2c_run, _c2c_run};
