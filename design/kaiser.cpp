/*
 * Kaiser's empirical formulas for a windowed-sinc low-pass design.
 *
 * Shape: beta = 0.1102 (A - 8.7) above 50 dB, 0.5842 (A - 21)^0.4 +
 * 0.07886 (A - 21) from 21 to 50 dB, 0 below. Length: N = (A - 8) / (2.285 dw)
 * for the prototype, which runs at `phases` times the branch rate, so
 * dw = 2 pi (f_stop - f_pass) / phases. The prototype length is rounded down,
 * made odd and cut into branches, plus one tap of margin.
 * Every float-to-integer step is range-checked first.
 */
#include "kaiser.h"

#include <cmath>
#include <cstdint>

extern "C" double kaiser_beta(double atten_db)
{
    const double A = atten_db;
    if (A > 50.0)
        return 0.1102 * A - 0.1102 * 8.7;
    if (A >= 21.0)
        return 0.5842 * std::pow(A - 21.0, 0.4) + 0.07886 * (A - 21.0);
    return 0.0; // below 21 dB, and NaN
}

extern "C" int32_t kaiser_num_taps(int32_t phases, double atten_db, double f_pass, double f_stop)
{
    if (phases <= 0)
        return 1;
    const double width = f_stop - f_pass;
    if (!(width > 0.0)) // zero, negative or NaN: no meaningful length
        return 0;

    const double t = (atten_db - 8.0) * static_cast<double>(phases) /
                     (width * 14.357078426905355) + 1.0;
    uint64_t total;
    if (!(t > 0.0)) // negative, and NaN from a NaN attenuation
        total = 0;
    else if (t >= 18446744073709551616.0) // 2^64
        total = UINT64_MAX;
    else
        total = static_cast<uint64_t>(t);
    total |= 1u;

    // Compare before adding the extra tap: UINT64_MAX / 1 + 1 would wrap to 0.
    const uint64_t whole = total / static_cast<uint64_t>(phases);
    if (whole >= static_cast<uint64_t>(INT32_MAX))
        return INT32_MAX;
    return static_cast<int32_t>(whole + 1u);
}
