// The FFT and its plan. The scalar passes are built for the baseline target
// only (GCC's vectoriser gave AVX2 builds of them results a rounding apart);
// the AVX2 passes are intrinsics written to the scalar order (fft_avx2.cpp).
#include "fft.h"
#include "fft_internal.h"

#include "../stages/simd.h"

#include <cmath>
#include <cstdlib>

namespace ddc_fft_scalar {
#include "fft_kernels.inc"
} // namespace ddc_fft_scalar

extern "C" {

int fft_plan_init(fft_plan_t *plan, size_t n)
{
    plan->n = 0;
    plan->fwd = plan->inv = nullptr;
    plan->ntw = 0;
    if (n == 0 || n > (size_t(1) << 30) || (n & (n - 1)) != 0)
        return -1;
    size_t ntw = 0;
    for (size_t len = n; len >= 4; len /= 4)
        ntw += 3 * (len / 4);
    cf32_t *fwd = nullptr, *inv = nullptr;
    if (ntw) {
        fwd = static_cast<cf32_t *>(std::malloc(ntw * sizeof(cf32_t)));
        inv = fwd ? static_cast<cf32_t *>(std::malloc(ntw * sizeof(cf32_t))) : nullptr;
        if (!inv) {
            std::free(fwd);
            return -1;
        }
    }
    size_t i = 0;
    for (size_t len = n; len >= 4; len /= 4) {
        const double step = 6.283185307179586 / static_cast<double>(len);
        for (size_t r = 1; r <= 3; ++r)
            for (size_t p = 0; p < len / 4; ++p) {
                const double a = step * static_cast<double>(p * r);
                const float c = static_cast<float>(std::cos(a)), sn = static_cast<float>(std::sin(a));
                fwd[i] = cf32_t{c, 0.0f - sn};
                inv[i] = cf32_t{c, sn};
                ++i;
            }
    }
    plan->n = n;
    plan->fwd = fwd;
    plan->inv = inv;
    plan->ntw = ntw;
    return 0;
}

void fft_plan_free(fft_plan_t *plan)
{
    std::free(plan->fwd);
    std::free(plan->inv);
    plan->fwd = plan->inv = nullptr;
    plan->n = plan->ntw = 0;
}

cf32_t *fft_exec(const fft_plan_t *plan, cf32_t *x, cf32_t *work, int inverse)
{
    ddc_fft_scalar::pass4_fn v4 = nullptr;
    ddc_fft_scalar::pass2_fn v2 = nullptr;
#if defined(__x86_64__) && defined(DDC_HAVE_AVX2)
    const int level = ddc_simd_level();
    if (level == DDC_SIMD_AVX2 || level == DDC_SIMD_AVX512) {
        v4 = ddc_fft_pass4_avx2;
        v2 = ddc_fft_pass2_avx2;
    }
#endif
    return ddc_fft_scalar::_exec(plan->n, inverse ? plan->inv : plan->fwd, x, work, inverse, v4,
                                 v2);
}

void fft_gather_mul(const cf32_t *x, size_t mask, size_t k0, const cf32_t *h, size_t b, cf32_t *y)
{
    ddc_fft_scalar::_gather_mul(x, mask, k0, h, b, y);
}

} // extern "C"
