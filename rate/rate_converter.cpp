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
 * Each stage kind is one stage_ops_t table (build, execute, bound, reserve,
 * reset, destroy, label); the converter only walks its array of stages.
 *
 * Execution alternates between two scratch buffers that grow to the longest
 * block and never shrink; the last stage writes straight into the caller's
 * buffer, and only the last stage is held to the caller's capacity. Before the
 * first stage runs, the scratch buffers and every stage's own memory are made
 * ready for the block (stage i for the bound of the stages before it), so a
 * block that cannot get its memory is not consumed at all.
 */
#include "rate_converter.h"
#include "rate_converter_internal.h"

#include "../design/ciccomp.h"
#include "../stages/cic.h"
#include "../stages/cic_kernel.h"
#include "../design/halfband.h"
#include "../stages/fir.h"
#include "../stages/fir_internal.h"
#include "../stages/hbdecim.h"
#include "../stages/hbdecim_internal.h"
#include "../stages/presamp.h"
#include "../stages/resamp.h"
#include "rate_design.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kMaxStages = 40;                      // room in the stage array
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

struct stage_spec_t;

// What the converter does with a stage of one kind; one constant instance per
// kind, so a new kind is its functions plus one table. Every entry is set.
struct stage_ops_t {
    int32_t type; // STAGE_* code
    // A new stage for the planned spec, or null (nothing left allocated).
    void *(*build)(const stage_spec_t *sp);
    // Up to cap outputs from n inputs; inputs past a full output are dropped.
    size_t (*execute)(void *st, const cf32_t *in, size_t n, cf32_t *out, size_t cap);
    // Outputs that always suffice for n inputs, whatever the state; saturating
    // and never smaller for a larger n (reserve relies on that).
    size_t (*bound)(const void *st, size_t n);
    // Makes the stage's own memory ready for a block of n inputs, so execute
    // allocates nothing; 0, or -1 with the stage as it was.
    int (*reserve)(void *st, size_t n);
    // Outputs the next execute of n inputs makes from the current state (the
    // bound where the kind cannot tell more).
    size_t (*count)(const void *st, size_t n);
    void (*reset)(void *st);
    void (*destroy)(void *st);
    void (*label)(const void *st, char *buf, size_t size);
    // Group delay in the stage's input samples: output j, at input time
    // j / rate, shows the input around j / rate - delay.
    double (*delay)(const void *st);
    // Real multiply-adds (or integer additions) per input sample.
    double (*cost)(const void *st);
    // Output rate over input rate.
    double (*rate)(const void *st);
};

// One planned stage, handed to _build_stages.
struct stage_spec_t {
    const stage_ops_t *ops; // the kind
    uint32_t ratio;     // CIC ratio; up to 2^31, so past the CIC limit stays representable
    double rate;        // resampler ratio
    int32_t compensate; // CIC compensation flag
    double delta;       // designed half-band: transition half-width
    double atten_db;    // designed kinds: stop-band attenuation
};

// A built stage: its kind and its owned handle.
struct stage_t {
    const stage_ops_t *ops;
    void *h;
};

// For kinds that keep no memory that grows with the block.
int _reserve_none(void *, size_t)
{
    return 0;
}

double _half(const void *)
{
    return 0.5;
}

double _one(const void *)
{
    return 1.0;
}

// --- half-band 2:1 decimator ---------------------------------------------------
void *_hb_build(const stage_spec_t *)
{
    return hbdecim_create(19, _HB_FIR);
}

size_t _hb_execute(void *st, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    return hbdecim_execute(static_cast<hbdecim_state_t *>(st), in, n, out, cap);
}

size_t _hb_bound(const void *, size_t n)
{
    return n / 2 + (n & 1); // floor((n + 1) / 2) without overflow
}

void _hb_reset(void *st)
{
    hbdecim_reset(static_cast<hbdecim_state_t *>(st));
}

void _hb_destroy(void *st)
{
    hbdecim_destroy(static_cast<hbdecim_state_t *>(st));
}

void _hb_label(const void *, char *buf, size_t size)
{
    std::snprintf(buf, size, "HalfbandDecimator");
}

// The centre tap sits num_taps inputs behind input 2m + 1, output m's time is 2m.
double _hb_delay(const void *st)
{
    return static_cast<double>(hbdecim_get_num_taps(static_cast<const hbdecim_state_t *>(st))) - 1.0;
}

// Folded branch plus centre, complex samples, per output pair.
double _hb_cost(const void *st)
{
    return static_cast<double>(hbdecim_get_num_taps(static_cast<const hbdecim_state_t *>(st)) / 2 + 1);
}

const stage_ops_t kHalfbandOps = {STAGE_HALFBAND, _hb_build,   _hb_execute, _hb_bound,
                                  _reserve_none,  _hb_bound,   _hb_reset,   _hb_destroy,
                                  _hb_label,      _hb_delay,   _hb_cost,    _half};

// --- designed half-band: the same decimator with taps for the plan -------------
void *_dhb_build(const stage_spec_t *sp)
{
    const double atten = sp->atten_db + DESIGN_HB_MARGIN_DB;
    const size_t h = halfband_num_coeffs(atten, sp->delta);
    if (h == 0)
        return nullptr;
    std::vector<float> coeffs;
    try {
        coeffs.resize(h);
    } catch (...) {
        return nullptr;
    }
    const size_t taps = halfband_design(atten, sp->delta, coeffs.data(), h);
    return taps ? hbdecim_create(taps, coeffs.data()) : nullptr;
}

void _dhb_label(const void *st, char *buf, size_t size)
{
    const size_t n = hbdecim_get_num_taps(static_cast<const hbdecim_state_t *>(st));
    std::snprintf(buf, size, "HalfbandDecimator(%zu taps)", n < 3 ? n : 2 * n - 3);
}

const stage_ops_t kDesignedHalfbandOps = {STAGE_HALFBAND, _dhb_build,  _hb_execute, _hb_bound,
                                          _reserve_none,  _hb_bound,   _hb_reset,   _hb_destroy,
                                          _dhb_label,     _hb_delay,   _hb_cost,    _half};

// --- designed resampler with interpolated phases --------------------------------
void *_prs_build(const stage_spec_t *sp)
{
    return presamp_create(sp->rate, sp->atten_db);
}

size_t _prs_execute(void *st, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    return presamp_execute(static_cast<presamp_state_t *>(st), in, n, out, cap);
}

// Whatever the phase: at most ceil(n * rate) + 1 outputs (the time step is the
// rounded 2^32 / rate, so a little margin covers its rounding).
size_t _prs_bound(const void *st, size_t n)
{
    if (n == 0)
        return 0;
    const double r = presamp_get_rate(static_cast<const presamp_state_t *>(st));
    const double v = std::ceil(static_cast<double>(n) * r * (1.0 + 0x1p-30)) + 2.0;
    return v >= 18446744073709551616.0 || v > static_cast<double>(SIZE_MAX) ? SIZE_MAX
                                                                          : static_cast<size_t>(v);
}

size_t _prs_count(const void *st, size_t n)
{
    return presamp_capacity(static_cast<const presamp_state_t *>(st), n);
}

void _prs_reset(void *st)
{
    presamp_reset(static_cast<presamp_state_t *>(st));
}

void _prs_destroy(void *st)
{
    presamp_destroy(static_cast<presamp_state_t *>(st));
}

void _prs_label(const void *st, char *buf, size_t size)
{
    auto *r = static_cast<const presamp_state_t *>(st);
    std::snprintf(buf, size, "Resampler(%g, %zu taps x %zu phases)", presamp_get_rate(r),
                  presamp_get_num_taps(r), presamp_get_num_phases(r));
}

double _prs_rate(const void *st)
{
    return presamp_get_rate(static_cast<const presamp_state_t *>(st));
}

double _prs_delay(const void *st)
{
    return presamp_get_delay(static_cast<const presamp_state_t *>(st));
}

// Per output: an interpolated tap and two products per tap.
double _prs_cost(const void *st)
{
    auto *r = static_cast<const presamp_state_t *>(st);
    return 3.0 * static_cast<double>(presamp_get_num_taps(r)) * presamp_get_rate(r);
}

const stage_ops_t kDesignedResamplerOps = {STAGE_RESAMPLER, _prs_build,  _prs_execute, _prs_bound,
                                           _reserve_none,   _prs_count,  _prs_reset,   _prs_destroy,
                                           _prs_label,      _prs_delay,  _prs_cost,   _prs_rate};

// --- rate 1 of a designed plan: a plain copy --------------------------------------
// The handle is a dummy: the kind has no state.
char g_copy_stage;

void *_copy_build(const stage_spec_t *)
{
    return &g_copy_stage;
}

size_t _copy_execute(void *, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    const size_t m = n < cap ? n : cap;
    if (m && in != out)
        std::memmove(out, in, m * sizeof(cf32_t));
    return m;
}

size_t _copy_bound(const void *, size_t n)
{
    return n;
}

void _copy_nothing(void *) {}

void _copy_label(const void *, char *buf, size_t size)
{
    std::snprintf(buf, size, "Passthrough");
}

double _zero(const void *)
{
    return 0.0;
}

const stage_ops_t kCopyOps = {STAGE_RESAMPLER, _copy_build,   _copy_execute, _copy_bound,
                              _reserve_none,   _copy_bound,   _copy_nothing, _copy_nothing,
                              _copy_label,     _zero,         _zero,         _one};

// --- CIC decimator with optional compensation FIR ------------------------------
struct cic_stage_t {
    cic_state_t *cic;   // the CIC decimator
    fir_state_t *fir;   // compensation FIR, null without compensation
    int32_t ratio;      // CIC ratio R
    int32_t compensate; // flag at build time; decides the label
};

void _cic_destroy(void *stage)
{
    auto *st = static_cast<cic_stage_t *>(stage);
    cic_destroy(st->cic);
    if (st->fir)
        fir_destroy(st->fir);
    std::free(st);
}

void *_cic_build(const stage_spec_t *sp)
{
    auto *st = static_cast<cic_stage_t *>(std::calloc(1, sizeof(cic_stage_t)));
    if (!st)
        return nullptr;
    st->ratio = static_cast<int32_t>(sp->ratio);
    st->compensate = sp->compensate;
    st->cic = cic_create(sp->ratio);
    if (!st->cic) {
        std::free(st);
        return nullptr;
    }
    if (sp->compensate) {
        double taps[kCompTaps];
        ciccompmf(taps, 4, sp->ratio, kCompTaps);
        float taps_f[kCompTaps];
        for (int k = 0; k < kCompTaps; ++k)
            taps_f[k] = static_cast<float>(taps[k]);
        st->fir = fir_create_real(taps_f, kCompTaps);
        if (!st->fir) {
            _cic_destroy(st);
            return nullptr;
        }
    }
    return st;
}

size_t _cic_execute(void *stage, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
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
        return fir_execute(st->fir, out, m, out); // reserved: cannot fail here
    return m;
}

size_t _cic_bound(const void *stage, size_t n)
{
    const size_t R = static_cast<size_t>(static_cast<const cic_stage_t *>(stage)->ratio);
    return n / R + (n % R != 0 ? 1 : 0); // floor((n + R - 1) / R)
}

// The FIR filters what the CIC made, at most the CIC's bound.
int _cic_reserve(void *stage, size_t n)
{
    auto *st = static_cast<cic_stage_t *>(stage);
    return st->fir ? fir_reserve(st->fir, _cic_bound(st, n)) : 0;
}

void _cic_reset(void *stage)
{
    auto *st = static_cast<cic_stage_t *>(stage);
    cic_reset(st->cic);
    if (st->fir)
        fir_reset(st->fir);
}

void _cic_label(const void *stage, char *buf, size_t size)
{
    auto *st = static_cast<const cic_stage_t *>(stage);
    std::snprintf(buf, size, st->compensate ? "CIC(%d)+FIR" : "CIC(%d)", st->ratio);
}

double _cic_rate(const void *stage)
{
    return 1.0 / static_cast<const cic_stage_t *>(stage)->ratio;
}

// A fourth-order CIC's impulse response is centred 2 (R - 1) inputs back.
double _cic_delay(const void *stage)
{
    return 2.0 * (static_cast<const cic_stage_t *>(stage)->ratio - 1);
}

// Integrators per input and combs per output (integer additions, I and Q),
// plus the compensation FIR's 7 real taps on complex outputs.
double _cic_cost(const void *stage)
{
    auto *st = static_cast<const cic_stage_t *>(stage);
    return 8.0 + (8.0 + (st->fir ? 2.0 * kCompTaps : 0.0)) / st->ratio;
}

const stage_ops_t kCicOps = {STAGE_CIC,    _cic_build, _cic_execute, _cic_bound,
                             _cic_reserve, _cic_bound, _cic_reset,   _cic_destroy,
                             _cic_label,   _cic_delay, _cic_cost,    _cic_rate};

// --- polyphase resampler --------------------------------------------------------
void *_rs_build(const stage_spec_t *sp)
{
    return resamp_create(sp->rate);
}

size_t _rs_execute(void *st, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    return resamp_execute(static_cast<resamp_state_t *>(st), in, n, out, cap);
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

size_t _rs_bound(const void *st, size_t n)
{
    auto *r = static_cast<const resamp_state_t *>(st);
    if (resamp_get_rate(r) == 1.0)
        return n;
    if (resamp_get_interpolating(r))
        return _interp_bound(n, resamp_get_phase_step(r));
    return _decim_bound(n, resamp_get_phase_step(r));
}

void _rs_reset(void *st)
{
    resamp_reset(static_cast<resamp_state_t *>(st));
}

void _rs_destroy(void *st)
{
    resamp_destroy(static_cast<resamp_state_t *>(st));
}

void _rs_label(const void *st, char *buf, size_t size)
{
    std::snprintf(buf, size, "Resampler(%g)", resamp_get_rate(static_cast<const resamp_state_t *>(st)));
}

double _rs_rate(const void *st)
{
    return resamp_get_rate(static_cast<const resamp_state_t *>(st));
}

// The built-in bank's 19 taps centre on tap 9: nine inputs back when
// interpolating, nine outputs back when decimating (the transposed form).
double _rs_delay(const void *st)
{
    auto *r = static_cast<const resamp_state_t *>(st);
    const double rate = resamp_get_rate(r);
    if (rate == 1.0)
        return 0.0;
    return resamp_get_interpolating(r) ? 9.0 : 9.0 / rate;
}

double _rs_cost(const void *st)
{
    auto *r = static_cast<const resamp_state_t *>(st);
    const double rate = resamp_get_rate(r);
    if (rate == 1.0)
        return 0.0;
    const double taps = 2.0 * static_cast<double>(resamp_get_num_taps(r));
    return resamp_get_interpolating(r) ? taps * rate : taps;
}

const stage_ops_t kResamplerOps = {STAGE_RESAMPLER, _rs_build, _rs_execute, _rs_bound,
                                   _reserve_none,   _rs_bound, _rs_reset,   _rs_destroy,
                                   _rs_label,       _rs_delay, _rs_cost,    _rs_rate};

} // namespace

struct RateConverter {
    double rate;                // requested fs_out / fs_in, as last passed in
    double atten_db;            // designed plan's attenuation, 0 for the exact plan
    int32_t compensate;         // nonzero: every CIC stage gets a compensation FIR
    int32_t num_stages;         // 0 (after a failed rebuild) to kMaxStages; a plan has 1 or 2
    stage_t stage[kMaxStages];  // owned stages, processing order
    cf32_t *scratch_a;          // ping-pong buffer, even stages write here
    cf32_t *scratch_b;          // ping-pong buffer, odd stages write here
    size_t scratch_cap;         // capacity of each buffer, complex samples
    size_t ready;               // blocks up to this long find all their memory
};

namespace {

void _set_resampler(stage_spec_t *sp, double rate)
{
    sp->ops = &kResamplerOps;
    sp->ratio = 0;
    sp->rate = rate;
    sp->compensate = 0;
}

void _set_halfband(stage_spec_t *sp)
{
    sp->ops = &kHalfbandOps;
    sp->ratio = 0;
    sp->rate = 0.0;
    sp->compensate = 0;
}

void _set_cic(stage_spec_t *sp, uint32_t ratio, int compensate)
{
    sp->ops = &kCicOps;
    sp->ratio = ratio;
    sp->rate = 0.0;
    sp->compensate = compensate;
}

// Fills specs and returns their count (1 or 2), or 0 for a refused rate:
// not finite, 2^-32 and below (the power-of-two candidates would no longer fit
// 32 bits) or 2^32 and above (the resampler's phase step 2^32/rate truncates to
// 0, and it would emit outputs forever without taking an input). A plan may still be unbuildable (a CIC ratio
// past 4096); _build_stages finds that out.
int _plan(double rate, int compensate, stage_spec_t specs[kMaxStages])
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

// The designed cascade for rate and atten_db as specs; count or 0 (refused).
int _plan_designed(double rate, double atten_db, stage_spec_t specs[kMaxStages])
{
    design_stage_t plan[DESIGN_MAX_STAGES];
    static_assert(DESIGN_MAX_STAGES <= kMaxStages, "stage array too small for a designed plan");
    const int count = design_plan(rate, plan, DESIGN_MAX_STAGES);
    for (int i = 0; i < count; ++i) {
        stage_spec_t &sp = specs[i];
        sp = stage_spec_t{};
        sp.atten_db = atten_db;
        sp.delta = plan[i].delta;
        sp.rate = plan[i].rate;
        switch (plan[i].kind) {
        case DESIGN_HALFBAND:
            sp.ops = &kDesignedHalfbandOps;
            break;
        case DESIGN_RESAMPLER:
            sp.ops = &kDesignedResamplerOps;
            break;
        default:
            sp.ops = &kCopyOps;
            break;
        }
    }
    return count;
}

int _plan_for(const RateConverter *rc, double rate, stage_spec_t specs[kMaxStages])
{
    return rc->atten_db > 0.0 ? _plan_designed(rate, rc->atten_db, specs)
                              : _plan(rate, rc->compensate, specs);
}

// Creates the planned stages in processing order; 1 on success, 0 after
// destroying whatever had been built (num_stages is then 0).
int _build_stages(RateConverter *rc, const stage_spec_t *specs, int count)
{
    if (count < 0 || count > kMaxStages)
        return 0;
    for (int i = 0; i < count; ++i) {
        void *h = specs[i].ops->build(&specs[i]);
        if (!h) {
            for (int k = 0; k < i; ++k) {
                rc->stage[k].ops->destroy(rc->stage[k].h);
                rc->stage[k] = stage_t{};
            }
            rc->num_stages = 0;
            return 0;
        }
        rc->stage[i] = stage_t{specs[i].ops, h};
    }
    rc->num_stages = count;
    return 1;
}

void _release_scratch(RateConverter *rc)
{
    ddc_free_lines(rc->scratch_a);
    ddc_free_lines(rc->scratch_b);
    rc->scratch_a = nullptr;
    rc->scratch_b = nullptr;
    rc->scratch_cap = 0;
    rc->ready = 0;
}

void _destroy_all_stages(RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i) {
        if (rc->stage[i].h)
            rc->stage[i].ops->destroy(rc->stage[i].h);
        rc->stage[i] = stage_t{};
    }
    rc->num_stages = 0;
    _release_scratch(rc);
}

// Stages in order from in (n samples) into out (cap); with nco, the first
// stage, a half-band, mixes its input itself.
size_t _run_stages(RateConverter *rc, nco_state_t *nco, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    const cf32_t *src = in;
    size_t count = n;
    const int last = rc->num_stages - 1;
    for (int i = 0; i <= last; ++i) {
        cf32_t *dst = i == last ? out : (i % 2 == 0) ? rc->scratch_a : rc->scratch_b;
        const size_t room = i == last ? cap : rc->scratch_cap;
        if (i == 0 && nco)
            count = hbdecim_execute_nco(static_cast<hbdecim_state_t *>(rc->stage[0].h), src, count, dst, room, nco);
        else
            count = rc->stage[i].ops->execute(rc->stage[i].h, src, count, dst, room);
        src = dst;
    }
    return count;
}

// Both ping-pong buffers with room for n samples; on failure both are released.
int _reserve_scratch(RateConverter *rc, size_t n)
{
    if (rc->scratch_cap >= n)
        return 0;
    _release_scratch(rc); // old contents are never needed
    rc->scratch_a = ddc_alloc_lines(n);
    rc->scratch_b = ddc_alloc_lines(n);
    if (!rc->scratch_a || !rc->scratch_b) {
        _release_scratch(rc);
        return -1;
    }
    rc->scratch_cap = n;
    return 0;
}

// A converter planned and built for kind's rate, attenuation and flag.
RateConverter *_create(const RateConverter &kind)
{
    stage_spec_t specs[kMaxStages];
    const int count = _plan_for(&kind, kind.rate, specs);
    if (count == 0)
        return nullptr;
    auto *rc = static_cast<RateConverter *>(std::calloc(1, sizeof(RateConverter)));
    if (!rc)
        return nullptr;
    rc->rate = kind.rate;
    rc->atten_db = kind.atten_db;
    rc->compensate = kind.compensate;
    if (!_build_stages(rc, specs, count)) {
        std::free(rc);
        return nullptr;
    }
    return rc;
}

} // namespace

extern "C" {

RateConverter *RateConverter_create(int compensate, double rate)
{
    RateConverter kind{};
    kind.rate = rate;
    kind.compensate = compensate;
    return _create(kind);
}

void RateConverter_destroy(RateConverter *rc)
{
    if (!rc)
        return;
    _destroy_all_stages(rc);
    std::free(rc);
}

RateConverter *RateConverter_create_designed(double rate, double atten_db)
{
    if (!(atten_db >= DDC_ATTEN_MIN && atten_db <= DDC_ATTEN_MAX))
        return nullptr;
    RateConverter kind{};
    kind.rate = rate;
    kind.atten_db = atten_db;
    return _create(kind);
}

void RateConverter_set_rate(RateConverter *rc, double rate)
{
    stage_spec_t specs[kMaxStages];
    const int count = _plan_for(rc, rate, specs);
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
    rc->stage[index].ops->label(rc->stage[index].h, buf, size);
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
    if (rc->num_stages == 0 || rc->ready >= n)
        return 0;
    // Stage i takes at most the bound of the stages before it; every stage
    // but the last writes into scratch.
    size_t need = n;
    size_t count = n;
    for (int i = 0; i + 1 < rc->num_stages; ++i) {
        count = rc->stage[i].ops->bound(rc->stage[i].h, count);
        if (count > need)
            need = count;
    }
    if (_reserve_scratch(rc, need) != 0)
        return -1;
    count = n;
    for (int i = 0; i < rc->num_stages; ++i) {
        if (rc->stage[i].ops->reserve(rc->stage[i].h, count) != 0)
            return -1;
        count = rc->stage[i].ops->bound(rc->stage[i].h, count);
    }
    rc->ready = n;
    return 0;
}

size_t RateConverter_capacity(const RateConverter *rc, size_t n)
{
    if (rc->num_stages == 0)
        return 0;
    for (int i = 0; i < rc->num_stages; ++i)
        n = rc->stage[i].ops->bound(rc->stage[i].h, n);
    return n;
}

size_t RateConverter_execute_capacity(const RateConverter *rc, size_t n)
{
    if (rc->num_stages == 0)
        return 0;
    for (int i = 0; i < rc->num_stages; ++i)
        n = rc->stage[i].ops->count(rc->stage[i].h, n);
    return n;
}

double RateConverter_get_atten_db(const RateConverter *rc)
{
    return rc->atten_db;
}

double RateConverter_get_delay(const RateConverter *rc)
{
    double in_rate = 1.0, delay = 0.0; // delay in converter input samples
    for (int i = 0; i < rc->num_stages; ++i) {
        const stage_t &st = rc->stage[i];
        delay += st.ops->delay(st.h) / in_rate;
        in_rate *= st.ops->rate(st.h);
    }
    return delay * rc->rate;
}

double RateConverter_get_cost(const RateConverter *rc)
{
    double in_rate = 1.0, cost = 0.0;
    for (int i = 0; i < rc->num_stages; ++i) {
        const stage_t &st = rc->stage[i];
        cost += st.ops->cost(st.h) * in_rate;
        in_rate *= st.ops->rate(st.h);
    }
    return cost;
}

size_t RateConverter_execute(RateConverter *rc, const cf32_t *in, size_t n, cf32_t *out, size_t cap)
{
    if (rc->num_stages == 0)
        return 0;
    if (RateConverter_reserve(rc, n) != 0)
        return 0; // nothing has run; the next call tries again
    return _run_stages(rc, nullptr, in, n, out, cap);
}

void RateConverter_reset(RateConverter *rc)
{
    for (int i = 0; i < rc->num_stages; ++i)
        rc->stage[i].ops->reset(rc->stage[i].h);
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

size_t RateConverter_execute_nco(RateConverter *rc, const cf32_t *in, size_t n, cf32_t *work, cf32_t *out,
                                 size_t cap, nco_state_t *nco) noexcept
{
    if (rc->num_stages == 0 || rc->stage[0].ops->type != STAGE_HALFBAND || !hbdecim_nco_fused() ||
        RateConverter_reserve(rc, n) != 0) {
        nco_mix(nco, in, n, work);
        return RateConverter_execute(rc, work, n, out, cap);
    }
    return _run_stages(rc, nco, in, n, out, cap);
}
