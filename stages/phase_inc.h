/* Library-internal: a normalised frequency as a 32-bit phase increment, shared
   by both oscillators so they tune alike (not exported). */
#ifndef DDC_STAGES_PHASE_INC_H
#define DDC_STAGES_PHASE_INC_H

#include <cmath>
#include <cstdint>

namespace ddc_phase {

// Wrap into [0, 1), scale to 2^32, truncate; saturate instead of overflowing
// the conversion (tiny negative f wraps to exactly 1.0), NaN gives 0.
inline uint32_t freq_to_inc(double f) noexcept
{
    constexpr double kTwo32 = 4294967296.0;
    const double w = f - std::floor(f);
    const double p = w * kTwo32;
    if (!(p > 0.0))
        return 0;
    if (p >= kTwo32)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(p);
}

} // namespace ddc_phase

#endif
