/*
 * Rate converter: plans, once per ratio, the cheapest cascade that reaches
 * fs_out / fs_in and runs blocks through it.
 *
 * Planning works on c = log2(1/rate). An exact power of two becomes one or two
 * half-band 2:1 decimators (1/2, 1/4) or a fourth-order CIC (1/8 .. 1/4096);
 * any other ratio of 1/8 or less becomes a CIC by the power of two nearest in
 * log2 (lower or upper) followed by a resampler for the remainder, which then
 * lies in (0.5, 2); everything else is one polyphase resampler. A CIC may carry
 * a 7-tap droop-compensation FIR. Powers of two below 2^-12 use the largest CIC
 * (4096) and a resampler for the rest; ratios of 2^-32 and below, and
 * of 2^32 and above, are refused.
 *
 * Execution alternates between two scratch buffers that grow to the longest
 * block and never shrink; the last stage writes straight into the caller's
 * buffer, and only the last stage is held to the caller's capacity.
 */
#include "rate_converter.h"
#include "rate_converter_internal.h"

#include "../design/ciccomp.h"
#include "../stages/cic.h"
#include "../stages/cic_kernel.h"
#include "../stages/fir.h"
#include "../stages/hbdecim.h"
#include "../stages/resamp.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kMaxStages = 3;                       // room in the stage arrays
constexpr double kInvLn2 = 1.4426950408889634;      // the double nearest 1/ln 2
constexpr uint32_t kCicMaxRatio = 4096;             // largest CIC decimation
constexpr int kCompTaps = 7;                        // compensation FIR length
constexpr uint64_t kPhaseOne = UINT64_C(1) << 32;   // one period of a 32-bit phase

// Half-band branch: 18 taps at twice their weight, outermost first.
const float _HB_FIR[18] = {
    0.00157905323f, -0.00467577344f, 0.0104431789f, -0.0201746244f, 0.0357989259f,
    -0.0608663708f, 0.104113407f,    -0.19753781f,  0.631600916f,   0.631600916f,
    -0.19753781f,   0.104113407f,    -0.0608663708f, 0.0357989259f, -0.0201746244f,
    0.0104431789f,  -0.00467577344f, 0.00157905323f,
};

// One planned stage, handed to _build_stages.
struct stage_spec_t {
    int32_t type;       // stage type code
    uint32_t ratio;     // CIC ratio (type 1); up to 2^31, so past the CIC limit stays representable
    double rate;        // resampler ratio (type 2)
    int32_t compensate; // compensation flag (type 1)
};

} // namespace

// A CIC stage: the decimator and its optional compensation filter.
typedef struct cic_stage {
    cic_state_t *cic;   // the CIC decimator
    fir_state_t *fir;   // compensation FIR, null without compensation
    int32_t ratio;      // CIC ratio R
    int32_t compensate; // flag at build time; decides the label
} cic_stage_t;

struct RateConverter {
    double rate;                // requested fs_out / fs_in, as last passed in
    int32_t compensate;         // nonzero: every CIC stage gets a compensation FIR
    int32_t num_stages;         // 0 (after a failed rebuild) to 3; a plan has 1 or 2
    int32_t stage_type[kMaxStages]; // type code per stage, processing order
    void *stage[kMaxStages];    // owned stage handles, processing order
    cf32_t *scratch_a;          // ping-pong buffer, even stages write here
    cf32_t *scratch_b;          // ping-pong buffer, odd stages write here
    size_t scratch_cap;         // capacity of each buffer, complex samples
};

namespace {

void _set_resampler(stage_spec_t *sp, double rate)
{
    sp->type = STAGE_RESAMPLER;
    sp->ratio = 0;
    sp->rate = rate;
    sp->compensate = 0;
}

void _set_halfband(stage_spec_t *sp)
{
    sp->type = STAGE_HALFBAND;
    sp->ratio = 0;
    sp->rate = 0.0;
    sp->compensate = 0;
}

void _set_cic(stage_spec_t *sp, uint32_t ratio, int compensate)
{
    sp->type = STAGE_CIC;
    sp->ratio = ratio;
    sp->rate = 0.0;
    sp->compensate = compensate;
}

// Fills specs and returns their count (1 or 2), or 0 for a refused rate:
// not finite, 2^-32 and below (the power-of-two candidates would no longer fit
// 32 bits) or 2^32 and above (the resampler's phase step 2^32/rate truncates to
// 0, and it would emit outputs forever without taking an input). A plan may still be unbuildable (a CIC ratio
// past 4096); _build_stages finds that out.
int _plan(double rate, int compensate, stage_spec_t specs[2])
{
    if (!(rate > 0x1p-32 && rate < 0x1p32)) // NaN fails too
        return 0;
    if (rate >= 1.0) {
        _set_resampler(&specs[0], rate);
        return 1;
    }
    const double inv = 1.0 / rate;
    if (inv < 2.0) {
        _set_resampler(&specs[0], rate);
        return 1;
    }
    const double c = std::log(inv) * kInvLn2;
    const double r = std::round(c); // halves away from zero
    if (std::fabs(c - r) < 1e-9) {
        const int e = static_cast<int>(r);
        if (e <= 1) {
            _set_halfband(&specs[0]);
            return 1;
        }
        if (e == 2) {
            _set_halfband(&specs[0]);
            _set_halfband(&specs[1]);
            return 2;
        }
        if (e <= 12) {
            _set_cic(&specs[0], UINT32_C(1) << e, compensate);
            return 1;
        }
        // Past the largest CIC: decimate by 4096 and let a resampler do the rest,
        // so the output rate is still the requested one.
        _set_cic(&specs[0], kCicMaxRatio, compensate);
        _set_resampler(&specs[1], kCicMaxRatio * rate);
        return 2;
    }
    if (inv >= 8.0) {
        const int e = static_cast<int>(std::floor(c));
        if (e > 31)
            return 0; // unreachable above 2^-32; keeps the shifts defined
        const uint32_t lower = UINT32_C(1) << e;
        const uint32_t upper = e < 12 ? UINT32_C(1) << (e + 1) : kCicMaxRatio;
        const double a = lower * rate;
        const double b = upper * rate;
        // Nearest power of two in log2; a tie keeps the lower one.
        const bool up = std::fabs(std::log(b) * kInvLn2) < std::fabs(std::log(a) * kInvLn2);
        const uint32_t R = up ? upper : lower;
        const double residual = up ? b : a;
        _set_cic(&specs[0], R, compensate);
        if (std::fabs(R * rate - 1.0) > 1e-6) {
            _set_resampler(&specs[1], residual);
            return 2;
        }
        return 1;
    }
    _set_resampler(&specs[0], rate);
    return 1;
}

void _destroy_stage(int32_t type, void *stage)
{
    switch (type) {
    case STAGE_RESAMPLER:
        resamp_destroy(static_cast<resamp_state_t *>(stage));
        break;
    case STAGE_CIC: {
        auto *st = static_cast<cic_stage_t *>(stage);
        cic_destroy(st->cic);
        if (st->fir)
            fir_destroy(st->fir);
        std::free(st);
        break;
    }
    case STAGE_HALFBAND:
        hbdecim_destroy(static_cast<hbdecim_state_t *>(stage));
        break;
    default: // never built; nothing to release
        break;
    }
}

void *_build_cic(uint32_t ratio, int32_t compensate)
{
    auto *st = static_cast<cic_stage_t *>(std::calloc(1, sizeof(cic_stage_t)));
    if (!st)
        return nullptr;
    st->ratio = static_cast<int32_t>(ratio);
    st->compensate = compensate;
    st->cic = cic_create(ratio);
    if (!st->cic) {
        std::free(st);
        return nullptr;
    }
    if (compensate) {
        double taps[kCompTaps];
        ciccompmf(taps, 4, ratio, kCompTaps);
        float taps_f[kCompTaps];
        for (int k = 0; k < kCompTaps; ++k)
            taps_f[k] = static_cast<float>(taps[k]);
        st->fir = fir_create_real(taps_f, kCompTaps);
        if (!st->fir) {
            cic_destroy(st->cic);
            std::free(st);
            return nullptr;
        }
    }
    return st;
}

// Creates the planned stages in processing order; 1 on success, 0 after
// destroying whatever had been built (num_stages is then 0).
int _build_stages(RateConverter *rc, const stage_spec_t *specs, int count)
{
    if (count < 0 || count > kMaxStages)
        return 0;
    for (int i = 0; i < count; ++i) {
        void *h = nullptr;
        switch (specs[i].type) {
        case STAGE_RESAMPLER:
            h = resamp_create(specs[i].rate);
            break;
        case STAGE_CIC:
            h = _build_cic(specs[i].ratio, specs[i].compensate);
            break;
        case STAGE_HALFBAND:
            h = hbdecim_create(19, _HB_FIR);
            break;
        default:
            break;
        }
        if (!h) {
            for (int k = 0; k < i; ++k) {
                _destroy_stage(rc->stage_type[k], rc->stage[k]);
                rc->stage[k] = nullptr;
            }
            rc->num_stages = 0;
            return 0;
        }
        rc->stage_type[i] = specs[i].type;
        rc->stage[i] = h;
    }
    rc->num_stages = count;
    return 1;
}

void _release_scratch(RateConverter *rc)
{
    std::free(rc->scratch_a);
    std::free(rc->scratch_b);
    rc->scratch_a = nullptr;
    rc->scratch_b = nullptr;
    rc->scratch_cap = 0;
}

void _destroy_all_stages(RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i) {
        if (rc->stage[i])
            _destroy_stage(rc->stage_type[i], rc->stage[i]);
        rc->stage[i] = nullptr;
    }
    rc->num_stages = 0;
    _release_scratch(rc);
}

size_t _stage_exec(int32_t type, void *stage, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    switch (type) {
    case STAGE_RESAMPLER:
        return resamp_execute(static_cast<resamp_state_t *>(stage), in, n, out, cap);
    case STAGE_HALFBAND:
        return hbdecim_execute(static_cast<hbdecim_state_t *>(stage), in, n, out, cap);
    case STAGE_CIC: {
        auto *st = static_cast<cic_stage_t *>(stage);
        // The kernel takes no capacity. When the block's outputs fit (always for
        // an intermediate stage) it runs as is; otherwise (only a last stage sees
        // a short capacity) the CIC stops after output number cap and the inputs
        // after that are dropped, as the other stages drop theirs.
        const size_t R = static_cast<size_t>(st->ratio);
        const size_t due = n / R + (n % R + cic_get_counter(st->cic)) / R;
        const size_t m = due <= cap ? cic_decimate(st->cic, in, n, out)
                                    : cic_execute(st->cic, in, n, out, cap);
        if (st->fir)
            return fir_execute(st->fir, out, m, out);
        return m;
    }
    default:
        return 0;
    }
}

// Room that always suffices for a decimating resampler fed n inputs: what
// its first n - 1 inputs can make with the phase just below a period boundary,
// plus one, floor(((n-1)*s + 2^32 - 1) / 2^32) + 1. That is at least the exact
// worst case floor((n*s + 2^32 - 1) / 2^32), and never exceeds n.
size_t _decim_bound(size_t n, uint32_t s)
{
    if (n == 0)
        return 0;
    const uint64_t k = static_cast<uint64_t>(n) - 1;
    const uint64_t hi = k >> 32;
    const uint64_t lo = k & 0xFFFFFFFFu;
    return static_cast<size_t>(hi * s + ((lo * s + (kPhaseOne - 1)) >> 32) + 1);
}

// ceil(n * 2^32 / s): outputs of an interpolating resampler starting at phase 0
// until it has taken n inputs (it ends right after the last one, so no room
// beyond them is needed); saturates at SIZE_MAX.
size_t _interp_bound(size_t n, uint32_t s)
{
    if (n == 0)
        return 0;
    if (s == 0)
        return SIZE_MAX; // no input is ever taken
    const uint64_t q = static_cast<uint64_t>(n) / s;
    const uint64_t r = static_cast<uint64_t>(n) % s; // < 2^32, so r << 32 fits
    const uint64_t tail = ((r << 32) + (s - 1)) / s;
    if (q > ((UINT64_MAX - tail) >> 32) || (q << 32) + tail > SIZE_MAX)
        return SIZE_MAX;
    return static_cast<size_t>((q << 32) + tail);
}

size_t _stage_bound(int32_t type, const void *stage, size_t n)
{
    switch (type) {
    case STAGE_HALFBAND:
        return n / 2 + (n & 1); // floor((n + 1) / 2) without overflow
    case STAGE_CIC: {
        const size_t R = static_cast<size_t>(static_cast<const cic_stage_t *>(stage)->ratio);
        return n / R + (n % R != 0 ? 1 : 0); // floor((n + R - 1) / R)
    }
    case STAGE_RESAMPLER: {
        auto *r = static_cast<const resamp_state_t *>(stage);
        if (resamp_get_rate(r) == 1.0)
            return n;
        if (resamp_get_interpolating(r))
            return _interp_bound(n, resamp_get_phase_step(r));
        return _decim_bound(n, resamp_get_phase_step(r));
    }
    default:
        return 0;
    }
}

} // namespace

extern "C" {

RateConverter *RateConverter_create(int compensate, double rate)
{
    stage_spec_t specs[2];
    const int count = _plan(rate, compensate, specs);
    if (count == 0)
        return nullptr;
    auto *rc = static_cast<RateConverter *>(std::calloc(1, sizeof(RateConverter)));
    if (!rc)
        return nullptr;
    rc->rate = rate;
    rc->compensate = compensate;
    if (!_build_stages(rc, specs, count)) {
        std::free(rc);
        return nullptr;
    }
    return rc;
}

void RateConverter_destroy(RateConverter *rc)
{
    if (!rc)
        return;
    _destroy_all_stages(rc);
    std::free(rc);
}

void RateConverter_set_rate(RateConverter *rc, double rate)
{
    stage_spec_t specs[2];
    const int count = _plan(rate, rc->compensate, specs);
    if (count == 0)
        return;
    // Even the same rate starts again from zero history.
    _destroy_all_stages(rc);
    rc->rate = rate;
    if (!_build_stages(rc, specs, count))
        rc->num_stages = 0;
}

double RateConverter_get_rate(const RateConverter *rc)
{
    return rc->rate;
}

int RateConverter_stage_label(const RateConverter *rc, int index, char *buf, size_t size)
{
    if (index < 0 || index >= rc->num_stages)
        return 0;
    const void *stage = rc->stage[index];
    switch (rc->stage_type[index]) {
    case STAGE_RESAMPLER:
        std::snprintf(buf, size, "Resampler(%g)",
                      resamp_get_rate(static_cast<const resamp_state_t *>(stage)));
        break;
    case STAGE_CIC: {
        auto *st = static_cast<const cic_stage_t *>(stage);
        std::snprintf(buf, size, st->compensate ? "CIC(%d)+FIR" : "CIC(%d)", st->ratio);
        break;
    }
    case STAGE_HALFBAND:
        std::snprintf(buf, size, "HalfbandDecimator");
        break;
    default:
        std::snprintf(buf, size, "Unknown");
        break;
    }
    return 1;
}

int RateConverter_get_num_stages(const RateConverter *rc)
{
    return rc->num_stages;
}

size_t RateConverter_get_scratch_cap(const RateConverter *rc)
{
    return rc->scratch_cap;
}

int RateConverter_reserve(RateConverter *rc, size_t n)
{
    if (rc->num_stages == 0 || rc->scratch_cap >= n)
        return 0;
    _release_scratch(rc); // old contents are never needed
    if (n > SIZE_MAX / sizeof(cf32_t))
        return -1;
    rc->scratch_a = static_cast<cf32_t *>(std::malloc(n * sizeof(cf32_t)));
    rc->scratch_b = static_cast<cf32_t *>(std::malloc(n * sizeof(cf32_t)));
    if (!rc->scratch_a || !rc->scratch_b) {
        _release_scratch(rc);
        return -1;
    }
    rc->scratch_cap = n;
    return 0;
}

size_t RateConverter_capacity(const RateConverter *rc, size_t n)
{
    if (rc->num_stages == 0)
        return 0;
    for (int i = 0; i < rc->num_stages; ++i)
        n = _stage_bound(rc->stage_type[i], rc->stage[i], n);
    return n;
}

size_t RateConverter_execute(RateConverter *rc, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    if (rc->num_stages == 0)
        return 0;
    if (rc->scratch_cap < n && RateConverter_reserve(rc, n) != 0)
        return 0; // nothing has run; the next call tries again
    if (rc->num_stages == 1)
        return _stage_exec(rc->stage_type[0], rc->stage[0], in, n, out, cap);
    const cf32_t *src = in;
    size_t count = n;
    const int last = rc->num_stages - 1;
    for (int i = 0; i < last; ++i) {
        cf32_t *dst = (i % 2 == 0) ? rc->scratch_a : rc->scratch_b;
        count = _stage_exec(rc->stage_type[i], rc->stage[i], src, count, dst, rc->scratch_cap);
        src = dst;
    }
    return _stage_exec(rc->stage_type[last], rc->stage[last], src, count, out, cap);
}

void RateConverter_reset(RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i) {
        switch (rc->stage_type[i]) {
        case STAGE_RESAMPLER:
            resamp_reset(static_cast<resamp_state_t *>(rc->stage[i]));
            break;
        case STAGE_CIC: {
            auto *st = static_cast<cic_stage_t *>(rc->stage[i]);
            cic_reset(st->cic);
            if (st->fir)
                fir_reset(st->fir);
            break;
        }
        case STAGE_HALFBAND:
            hbdecim_reset(static_cast<hbdecim_state_t *>(rc->stage[i]));
            break;
        default:
            break;
        }
    }
}

size_t RateConverter_execute_max_out(const RateConverter *rc)
{
    if (rc->rate > 1.0) {
        const double p = rc->rate * 65536.0;
        if (p >= 18446744073709551616.0) // 2^64: saturate instead of overflowing
            return SIZE_MAX;
        const uint64_t v = static_cast<uint64_t>(p);
        return v > SIZE_MAX - 2 ? SIZE_MAX : static_cast<size_t>(v + 2);
    }
    return 65538;
}

size_t RateConverter_convert(int compensate, double rate, const cf32_t *in, size_t n, cf32_t *out,
                             size_t cap)
{
    RateConverter *rc = RateConverter_create(compensate, rate);
    if (!rc)
        return 0;
    const size_t c = RateConverter_execute(rc, in, n, out, cap);
    RateConverter_destroy(rc);
    return c;
}

} // extern "C"
