/*
 * Planning of designed cascades. Half-bands carry the octaves: early ones see
 * the wanted band near DC and get wide, cheap transitions; only the stage
 * that sets the output's band edges (a last half-band, or the resampler) is
 * sharp. The resampler's remainder stays in (0.3, 0.6] so the half-band
 * before it still has room for a transition band that folds outside
 * 0.6 fs_out.
 */
#include "rate_design.h"

#include <cmath>

namespace {

constexpr double kLow = 0.3, kHigh = 0.6; // resampler remainder range
constexpr double kSharpDelta = 0.05;     // 0.4 / 0.6 fs_out on a 2:1 stage

} // namespace

extern "C" int design_plan(double rate, design_stage_t *stages, int max_stages)
{
    if (!(rate > 0x1p-32 && rate < 0x1p31) || !stages || max_stages < 1)
        return 0;
    if (rate >= 1.0) {
        stages[0].kind = rate == 1.0 ? DESIGN_COPY : DESIGN_RESAMPLER;
        stages[0].delta = 0.0;
        stages[0].rate = rate;
        return 1;
    }
    int exp = 0;
    const double m = std::frexp(rate, &exp); // rate = m 2^exp, m in [0.5, 1)
    const bool octave = m == 0.5;
    // Half-bands: down to rate 2^-k exactly, or until the remainder is <= 0.6.
    int halfbands = 0;
    double rem = rate; // fs_out / (input rate of the next stage)
    if (octave) {
        halfbands = 1 - exp; // rate = 2^(exp - 1)
    } else {
        while (rem <= kLow) {
            rem *= 2.0;
            ++halfbands;
        }
    }
    const int count = halfbands + (octave ? 0 : 1);
    if (count > max_stages)
        return 0;
    double fin = 1.0; // input rate of stage i, relative to the converter's input
    for (int i = 0; i < halfbands; ++i) {
        design_stage_t &s = stages[i];
        s.kind = DESIGN_HALFBAND;
        s.rate = 0.5;
        const bool last = octave && i == halfbands - 1;
        // fs_out relative to this stage's input rate: rate / fin.
        s.delta = last ? kSharpDelta : 0.25 - kHigh * (rate / fin);
        if (s.delta > 0.24)
            s.delta = 0.24; // keeps a few taps on the early octaves
        fin *= 0.5;
    }
    if (!octave) {
        stages[halfbands].kind = DESIGN_RESAMPLER;
        stages[halfbands].delta = 0.0;
        stages[halfbands].rate = rem;
    }
    return count;
}

extern "C" double design_r2c_delta(double rate)
{
    const double d = 0.05 - 0.1 * rate;
    return d < 0.01 ? 0.01 : d;
}

extern "C" double design_r2c_delta_for(double rate, double carrier)
{
    const double floor = design_r2c_delta(rate);
    const double c = carrier - 0.5 * std::floor(2.0 * carrier); // into [0, 0.5)
    double d = (c < 0.5 - c ? c : 0.5 - c) - 0.6 * rate;
    if (!(d > floor)) // NaN too
        return floor;
    if (d > 0.24)
        d = 0.24;
    // Steps of 1/256 keep the designs few (they are cached) and round towards sharper.
    d = std::floor(d * 256.0) / 256.0;
    return d > floor ? d : floor;
}

extern "C" double design_r2c_carrier(double norm_freq)
{
    const double t = 0.5 - norm_freq; // 2 f_c, up to whole turns
    return 0.5 * (t - std::floor(t));
}
