/* Library-internal: the front ends' complex mixer (not exported). */
#ifndef DDC_DDC_MIXER_INTERNAL_H
#define DDC_DDC_MIXER_INTERNAL_H

#include "../stages/ddc_types.h"

#include <cmath>

namespace ddc_front {

// o[k] = x[k] * o[k], the plain complex product (no conjugation), each part
// one fused multiply-add whose addend is the separately rounded second
// product. Non-finite samples give whatever this formula gives (an infinite
// sample may yield NaN in both parts).
inline void mix_in_place(const cf32_t *x, cf32_t *o, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        const cf32_t a = x[k];
        const cf32_t b = o[k];
        const float re = std::fmaf(b.re, a.re, -(b.im * a.im));
        const float im = std::fmaf(b.im, a.re, b.re * a.im);
        o[k].re = re;
        o[k].im = im;
    }
}

} // namespace ddc_front

#endif
