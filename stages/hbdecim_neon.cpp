// NEON block kernels of the half-band decimators.
//
// Four consecutive real-to-complex outputs (two complex-stage outputs, real
// and imaginary parts in adjacent lanes sharing a coefficient) per register;
// the arithmetic is the scalar kernel's, lane by lane (hbdecim_body.inc).
// Thirty-two registers leave room for four sums in flight.
#include "hbdecim_kernels.h"
#include "isa_neon.h"

namespace {

struct V : Isa {
    static constexpr size_t U = 4;
    static constexpr size_t UL = 3;
    static constexpr size_t kR2cLongFrom = 16;
    static constexpr bool kShift = false;
    static reg alt_sign(uint32_t parity) noexcept
    {
        const float n = -0.0f;
        const float odd[4] = {0, n, 0, n}, even[4] = {n, 0, n, 0};
        return vld1q_f32(parity ? even : odd);
    }
};

} // namespace

#include "hbdecim_body.inc"

const hb_kernels hb_kernels_neon = {_r2c_run, _c2c_run};
