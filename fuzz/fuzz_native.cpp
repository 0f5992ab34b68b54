/*
 * libFuzzer harness over the whole native interface.
 *
 * One input is a program: it picks a family (oscillator, both half-band
 * decimators, CIC, FIR, resampler, rate converter, DDCR, DDC, design
 * routines), creates a handle A and a twin B with the same arguments, and then
 * runs a random sequence of execute / reset / retune / set_rate / recreate /
 * query steps on them. Block sizes, capacities (0, 1, just enough, short,
 * "unlimited" over a buffer that only holds the bound), rates at the edges,
 * NaN and infinite samples and the forced kernel variant all come from the
 * input. Allocations of the library can be made to fail one at a time
 * (malloc, calloc and realloc are wrapped by the linker), and any single
 * allocation above 1 GiB fails, as it would on an exhausted machine.
 *
 * Checked on every step, beside what ASan and UBSan see:
 *   - a call never reports more outputs than its capacity, nor more than the
 *     capacity the family documents as sufficient;
 *   - nothing is written past the reported count: the buffer beyond it is
 *     filled with canary samples that must survive;
 *   - exact output counts where the family documents them (oscillator,
 *     half-band decimators, CIC, FIR, resampler phase arithmetic);
 *   - stages that promise not to allocate while processing do not;
 *   - block-split identity: every block that A consumed whole is queued for B,
 *     which gets the concatenation in one call (scalar kernels, capacity just
 *     the documented bound) before any state change; B's output must equal
 *     what A produced, bit for bit (two NaNs count as equal). A block that
 *     failed on an injected allocation fault and was documented as "not
 *     consumed" is not queued, so that promise is checked too;
 *   - getters return exactly what was set; labels stay inside their buffers.
 * Any violation aborts with a message naming the family and the step.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "ddc/ddc.h"
#include "ddc/ddcr.h"
#include "design/ciccomp.h"
#include "design/kaiser.h"
#include "rate/rate_converter.h"
#include "rate/rate_converter_internal.h"
#include "stages/cic.h"
#include "stages/cic_kernel.h"
#include "stages/fir.h"
#include "stages/hbdecim.h"
#include "stages/hbdecim_r2c.h"
#include "stages/lo.h"
#include "stages/resamp.h"
#include "stages/simd.h"

// ---------------------------------------------------------------------------
// Allocation control (the link wraps malloc/calloc/realloc)

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void *__real_realloc(void *, size_t);
extern "C" void *__real_aligned_alloc(size_t, size_t);

namespace {

constexpr size_t kHugeAlloc = size_t{1} << 30; // larger single allocations fail

bool g_in_lib = false;     // only the library's allocations are steered
long g_arm = -1;           // fault for the next LibCall: allocations to let through
long g_fail_after = -1;    // allocations to let through before one fails; -1: none
bool g_injected = false;   // an armed failure has fired
size_t g_allocs = 0;       // library allocations seen (successful or not)

// True when this library allocation of `bytes` must fail.
bool _refuse(size_t bytes, bool overflow)
{
    if (!g_in_lib)
        return false;
    ++g_allocs;
    if (g_fail_after == 0) {
        g_fail_after = -1;
        g_injected = true;
        return true;
    }
    if (g_fail_after > 0)
        --g_fail_after;
    return overflow || bytes > kHugeAlloc;
}

} // namespace

extern "C" void *__wrap_malloc(size_t n)
{
    return _refuse(n, false) ? nullptr : __real_malloc(n);
}

extern "C" void *__wrap_calloc(size_t n, size_t size)
{
    size_t bytes = 0;
    const bool overflow = __builtin_mul_overflow(n, size, &bytes);
    return _refuse(bytes, overflow) ? nullptr : __real_calloc(n, size);
}

extern "C" void *__wrap_realloc(void *p, size_t n)
{
    return _refuse(n, false) ? nullptr : __real_realloc(p, n);
}

extern "C" void *__wrap_aligned_alloc(size_t a, size_t n)
{
    return _refuse(n, false) ? nullptr : __real_aligned_alloc(a, n);
}

namespace {

// Marks a stretch of library calls; counts and steers their allocations.
struct LibCall {
    size_t allocs0;
    LibCall()
    {
        g_in_lib = true;
        g_fail_after = g_arm; // an armed fault applies to the first call only
        g_arm = -1;
        g_injected = false;
        allocs0 = g_allocs;
    }
    ~LibCall()
    {
        g_in_lib = false;
        g_fail_after = -1;
    }
    size_t allocs() const { return g_allocs - allocs0; }
};

// ---------------------------------------------------------------------------
// Failure reporting

const char *g_family = "?";
int g_step = 0;
const bool g_trace = std::getenv("DDC_FUZZ_TRACE") != nullptr; // step log to stderr

[[noreturn]] void _fail(const char *what, const char *detail = "")
{
    std::fprintf(stderr, "\nINVARIANT BROKEN [%s, step %d]: %s %s\n", g_family, g_step, what, detail);
    std::fflush(stderr);
    std::abort();
}

#define CHECK(cond, ...)                                                      \
    do {                                                                      \
        if (!(cond)) {                                                        \
            char _buf[512];                                                   \
            std::snprintf(_buf, sizeof _buf, __VA_ARGS__);                    \
            _fail(#cond, _buf);                                               \
        }                                                                     \
    } while (0)

// ---------------------------------------------------------------------------
// Inputs

constexpr size_t kMaxOut = size_t{1} << 18; // largest output buffer we allocate
constexpr size_t kGuard = 8;                // canary samples past the end
constexpr uint32_t kCanary = 0x7FA5C3E1u;   // a quiet NaN no kernel produces

struct Rng {
    uint64_t s;
    uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    double unit() { return (next() >> 11) * 0x1p-53; }
};

float _special(uint64_t k)
{
    static const float v[] = {
        NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, FLT_MAX, -FLT_MAX, FLT_MIN, 1e-45f,
        1.0f, -1.0f, 32767.0f / 32768.0f, -1.0f / 32768.0f, 1e30f, 0.5f,
    };
    return v[k % (sizeof v / sizeof v[0])];
}

// n samples of `width` floats each; `special` in 0..255 is the per-mille-ish
// share of special values (NaN, infinities, extremes).
std::vector<float> _samples(Rng &rng, size_t n, int width, unsigned special)
{
    std::vector<float> v(n * static_cast<size_t>(width));
    for (auto &x : v) {
        const uint64_t r = rng.next();
        if ((r & 1023) < special)
            x = _special(r >> 10);
        else
            x = static_cast<float>((static_cast<double>(r >> 11) * 0x1p-53) * 3.0 - 1.5);
    }
    return v;
}

double _edge_rate(FuzzedDataProvider &fdp, bool front_real)
{
    static const double edges[] = {
        0.5, 0.25, 0.125, 0.0625, 1.0 / 4096, 1.0 / 8192, 0x1p-20, 0x1p-31, 0x1p-32,
        0x1p-32 * 1.000001, 1e-300, 4.9e-324, 0.49999999999999994, 0.4, 0.1, 0.09, 0.07,
        1.0 / 12, 0.0002, 0.0001, 0.125000000001, 1.0 / 8.0000001, 0.75, 0.9999999,
        1.0, 1.0000001, 1.5, 2.0, 3.7, 17.0, 1e3, 0x1p32, 1e12, 0.0, -0.0, -0.25,
        NAN, INFINITY, -INFINITY, 0.3, 0.37, 2.3, 0.2,
    };
    const int mode = fdp.ConsumeIntegralInRange<int>(0, 3);
    if (mode == 0)
        return edges[fdp.ConsumeIntegralInRange<size_t>(0, sizeof edges / sizeof edges[0] - 1)];
    if (mode == 1) { // DDCR range and a little beyond
        return front_real ? fdp.ConsumeFloatingPointInRange<double>(-0.01, 0.51)
                          : fdp.ConsumeFloatingPointInRange<double>(1e-4, 4.0);
    }
    if (mode == 2) // log-uniform over many decades
        return std::exp2(fdp.ConsumeFloatingPointInRange<double>(-34.0, 12.0));
    return fdp.ConsumeFloatingPoint<double>(); // anything, NaN and inf included
}

double _any_freq(FuzzedDataProvider &fdp)
{
    static const double edges[] = {
        -0.7, 0.25, 0.5, -0.5, 1.0, 0.0, -1e-300, 1e300, -1e300, NAN, INFINITY, -INFINITY,
        0.3, -0.78, -0.86, 4294967296.5, -4.9e-324, 0.9999999999999999,
    };
    if (fdp.ConsumeBool())
        return edges[fdp.ConsumeIntegralInRange<size_t>(0, sizeof edges / sizeof edges[0] - 1)];
    return fdp.ConsumeFloatingPoint<double>();
}

uint32_t _expected_inc(double f)
{
    const double w = f - std::floor(f);
    const double v = w * 4294967296.0;
    if (std::isnan(v) || v <= 0.0)
        return 0;
    if (v >= 4294967296.0)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

bool _same_double(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool _same_sample(const cf32_t &a, const cf32_t &b)
{
    auto eq = [](float x, float y) {
        if (std::isnan(x) && std::isnan(y))
            return true;
        uint32_t bx, by;
        std::memcpy(&bx, &x, 4);
        std::memcpy(&by, &y, 4);
        return bx == by;
    };
    return eq(a.re, b.re) && eq(a.im, b.im);
}

int _pick_level(FuzzedDataProvider &fdp)
{
    const int top = ddc_simd_supported();
    return fdp.ConsumeIntegralInRange<int>(0, top);
}

// ---------------------------------------------------------------------------
// Families. Each wraps a pair of handles (index 0 = A, 1 = B).

enum class Kind { plain, ctrl };

struct Family {
    virtual ~Family() = default;
    // Floats per input sample (0: the count alone, 1: real, 2: complex) and per
    // control element of the ctrl kind.
    int in_width = 2;
    int ctrl_width = 0;
    bool has_ctrl = false;
    bool fixed_out = false; // writes exactly n samples and takes no capacity
    // One more handle with the twins' arguments, and its release: creations
    // are replayed with an allocation failing (LeakSanitizer sees the unwinding).
    std::function<void *()> make_one;
    std::function<void(void *)> free_one;
    virtual bool ok() const = 0;
    // Runs one block; the bound and exact count are for handle `w` in its
    // current state (SIZE_MAX: none known).
    virtual size_t exec(int w, Kind k, const float *in, const float *ctrl, size_t n, cf32_t *out,
                        size_t cap) = 0;
    virtual size_t bound(int w, Kind k, const float *ctrl, size_t n) = 0;
    virtual size_t exact(int, Kind, const float *, size_t, size_t) { return SIZE_MAX; }
    // Capacity from which a call consumes every input: the bound, but at
    // least 1, since a capacity of 0 leaves the state untouched.
    virtual size_t whole_cap(int w, Kind k, const float *ctrl, size_t n)
    {
        const size_t b = bound(w, k, ctrl, n);
        return n > 0 && b == 0 && !fixed_out ? 1 : b;
    }
    // Whether processing may allocate (the front ends and the converter grow scratch).
    virtual bool allocates() const { return false; }
    // After an injected failure in exec on A: 1 nothing consumed (do not queue),
    // 0 state now unknown (stop comparing until a reset).
    virtual bool failure_consumed_nothing(size_t count) { return count == 0; }
    // Whether a failed call may leave unreported samples inside the capacity.
    virtual bool failure_scribbles() const { return false; }
    virtual void reset(int w) = 0;
    // A retune-like change applied to both handles; false when it needs to
    // resynchronise (the handles end up equal) — true when they only continue.
    virtual void retune(FuzzedDataProvider &fdp, int w_both) = 0;
    virtual void query(FuzzedDataProvider &) {}
    // Whether the last retune left a handle that must produce nothing.
    virtual bool empty(int) const { return false; }
};

// ---- oscillator -------------------------------------------------------------

struct LoFamily : Family {
    lo_state_t *h[2] = {nullptr, nullptr};
    double freq;
    explicit LoFamily(FuzzedDataProvider &fdp)
    {
        in_width = 0;
        ctrl_width = 1;
        has_ctrl = true;
        fixed_out = true;
        freq = _any_freq(fdp);
        make_one = [f = freq] { return static_cast<void *>(lo_create(f)); };
        free_one = [](void *p) { lo_destroy(static_cast<lo_state_t *>(p)); };
        LibCall c;
        h[0] = lo_create(freq);
        h[1] = lo_create(freq);
        CHECK(h[0] && h[1], "lo_create(%g) failed", freq);
        CHECK(_same_double(lo_get_norm_freq(h[0]), freq), "norm_freq not kept");
        CHECK(lo_get_phase_inc(h[0]) == _expected_inc(freq), "increment %08x for %.17g",
              lo_get_phase_inc(h[0]), freq);
        CHECK(lo_get_phase(h[0]) == 0, "fresh phase");
    }
    ~LoFamily() override
    {
        lo_destroy(h[0]);
        lo_destroy(h[1]);
    }
    bool ok() const override { return true; }
    size_t exec(int w, Kind k, const float *, const float *ctrl, size_t n, cf32_t *out, size_t) override
    {
        const uint32_t p0 = lo_get_phase(h[w]), inc = lo_get_phase_inc(h[w]);
        size_t r;
        {
            LibCall c;
            r = k == Kind::ctrl ? lo_steps_ctrl(h[w], ctrl, n, out) : lo_steps(h[w], n, out);
            CHECK(c.allocs() == 0, "lo_steps allocated");
        }
        if (k == Kind::plain)
            CHECK(lo_get_phase(h[w]) == static_cast<uint32_t>(p0 + static_cast<uint32_t>(n) * inc),
                  "phase after %zu steps", n);
        return r;
    }
    size_t bound(int, Kind, const float *, size_t n) override { return n; }
    size_t exact(int, Kind, const float *, size_t n, size_t) override { return n; }
    void reset(int w) override { lo_reset(h[w]); }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        if (fdp.ConsumeBool()) {
            freq = _any_freq(fdp);
            for (auto *s : h)
                lo_set_norm_freq(s, freq);
            CHECK(_same_double(lo_get_norm_freq(h[0]), freq), "set_norm_freq not kept");
            CHECK(lo_get_phase_inc(h[0]) == _expected_inc(freq), "increment for %.17g", freq);
        } else {
            const uint32_t p = fdp.ConsumeIntegral<uint32_t>();
            for (auto *s : h)
                lo_set_phase(s, p);
            CHECK(lo_get_phase(h[0]) == p, "set_phase");
        }
    }
    void query(FuzzedDataProvider &) override
    {
        CHECK(lo_steps_max_out() == 65536 && lo_steps_ctrl_max_out() == 65536, "max_out");
    }
};

// ---- half-band decimators ----------------------------------------------------

template <bool Real>
struct HbFamily : Family {
    using state_t = std::conditional_t<Real, hbdecim_r2c_state_t, hbdecim_state_t>;
    state_t *h[2] = {nullptr, nullptr};
    int pending[2] = {0, 0};
    size_t taps;
    explicit HbFamily(FuzzedDataProvider &fdp)
    {
        in_width = Real ? 1 : 2;
        taps = fdp.ConsumeIntegralInRange<size_t>(0, 70);
        if (fdp.ConsumeIntegralInRange<int>(0, 3) != 0)
            taps = 19;
        // Exactly floor(taps/2) coefficients: ASan sees any read beyond.
        const size_t half = taps / 2;
        std::unique_ptr<float[]> coeffs(new float[half ? half : 1]);
        Rng rng{fdp.ConsumeIntegral<uint64_t>() | 1};
        for (size_t k = 0; k < half; ++k)
            coeffs[k] = static_cast<float>(rng.unit() - 0.5);
        const bool null_table = fdp.ConsumeIntegralInRange<int>(0, 15) == 0;
        std::shared_ptr<std::vector<float>> kept =
            std::make_shared<std::vector<float>>(coeffs.get(), coeffs.get() + half);
        make_one = [kept, t = taps]() -> void * {
            if constexpr (Real)
                return hbdecim_r2c_create(t, kept->data());
            else
                return hbdecim_create(t, kept->data());
        };
        free_one = [](void *p) {
            if constexpr (Real)
                hbdecim_r2c_destroy(static_cast<hbdecim_r2c_state_t *>(p));
            else
                hbdecim_destroy(static_cast<hbdecim_state_t *>(p));
        };
        LibCall c;
        const float *table = null_table ? nullptr : coeffs.get();
        for (auto &s : h) {
            if constexpr (Real)
                s = hbdecim_r2c_create(taps, table);
            else
                s = hbdecim_create(taps, table);
        }
        const bool expect = taps != 0 && !null_table;
        CHECK((h[0] != nullptr) == expect && (h[1] != nullptr) == expect, "create(%zu taps)", taps);
    }
    ~HbFamily() override
    {
        for (auto *s : h) {
            if constexpr (Real)
                hbdecim_r2c_destroy(s);
            else
                hbdecim_destroy(s);
        }
    }
    bool ok() const override { return h[0] != nullptr; }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t cap) override
    {
        size_t r;
        {
            LibCall c;
            if constexpr (Real)
                r = hbdecim_r2c_execute(h[w], in, n, out, cap);
            else
                r = hbdecim_execute(h[w], reinterpret_cast<const cf32_t *>(in), n, out, cap);
            CHECK(c.allocs() == 0, "half-band execute allocated");
        }
        if (n != 0 && cap != 0) {
            const size_t full = (pending[w] + n) / 2;
            pending[w] = cap >= full ? static_cast<int>((pending[w] + n) & 1) : 1;
        }
        return r;
    }
    size_t bound(int w, Kind, const float *, size_t n) override { return (pending[w] + n) / 2; }
    size_t exact(int w, Kind, const float *, size_t n, size_t cap) override
    {
        if (n == 0 || cap == 0)
            return 0;
        const size_t full = (pending[w] + n) / 2;
        return full < cap ? full : cap;
    }
    void reset(int w) override
    {
        if constexpr (Real)
            hbdecim_r2c_reset(h[w]);
        else
            hbdecim_reset(h[w]);
        pending[w] = 0;
    }
    void retune(FuzzedDataProvider &, int) override {}
    void query(FuzzedDataProvider &) override
    {
        if constexpr (Real) {
            CHECK(hbdecim_r2c_get_rate(h[0]) == 0.5 && hbdecim_r2c_get_num_taps(h[0]) == taps, "getters");
        } else {
            CHECK(hbdecim_get_rate(h[0]) == 0.5 && hbdecim_get_num_taps(h[0]) == taps, "getters");
        }
    }
};

// ---- CIC ----------------------------------------------------------------------

struct CicFamily : Family {
    cic_state_t *h[2] = {nullptr, nullptr};
    bool kernel; // drive the internal kernel (no capacity) instead of cic_execute
    static bool valid(uint32_t r) { return r >= 2 && r <= 4096 && (r & (r - 1)) == 0; }
    static uint32_t pick_ratio(FuzzedDataProvider &fdp)
    {
        if (fdp.ConsumeBool())
            return uint32_t{1} << fdp.ConsumeIntegralInRange<int>(0, 13);
        return fdp.ConsumeIntegral<uint32_t>();
    }
    explicit CicFamily(FuzzedDataProvider &fdp)
    {
        const uint32_t r = pick_ratio(fdp);
        kernel = fdp.ConsumeIntegralInRange<int>(0, 3) == 0;
        make_one = [r] { return static_cast<void *>(cic_create(r)); };
        free_one = [](void *p) { cic_destroy(static_cast<cic_state_t *>(p)); };
        LibCall c;
        h[0] = cic_create(r);
        h[1] = cic_create(r);
        CHECK((h[0] != nullptr) == valid(r) && (h[1] != nullptr) == valid(r), "cic_create(%u)", r);
        if (h[0])
            CHECK(cic_get_ratio(h[0]) == r && cic_get_shift(h[0]) == 4u * __builtin_ctz(r), "getters");
    }
    ~CicFamily() override
    {
        cic_destroy(h[0]);
        cic_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    size_t full(int w, size_t n) const { return (cic_get_counter(h[w]) + n) / cic_get_ratio(h[w]); }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t cap) override
    {
        const uint32_t c0 = cic_get_counter(h[w]), R = cic_get_ratio(h[w]);
        const size_t f = full(w, n);
        size_t r;
        {
            LibCall c;
            if (kernel && cap >= f)
                r = cic_decimate(h[w], reinterpret_cast<const cf32_t *>(in), n, out);
            else
                r = cic_execute(h[w], reinterpret_cast<const cf32_t *>(in), n, out, cap);
            CHECK(c.allocs() == 0, "CIC allocated");
        }
        // cic_execute stops right after the input giving output number cap.
        const bool used_kernel = kernel && cap >= f;
        size_t taken = n;
        if (!used_kernel && cap == 0)
            taken = 0;
        else if (!used_kernel && cap <= (SIZE_MAX - R) / R && cap * R - c0 < n)
            taken = cap * R - c0;
        CHECK(cic_get_counter(h[w]) == (c0 + taken) % R, "counter after %zu of %zu inputs", taken, n);
        return r;
    }
    size_t bound(int w, Kind, const float *, size_t n) override { return full(w, n); }
    size_t whole_cap(int w, Kind, const float *, size_t n) override
    {
        if (kernel)
            return full(w, n);
        const size_t R = cic_get_ratio(h[w]);
        return (cic_get_counter(h[w]) + n + R - 1) / R; // left-over inputs stay with the caller
    }
    size_t exact(int w, Kind, const float *, size_t n, size_t cap) override
    {
        if (n == 0 || cap == 0)
            return 0;
        const size_t f = full(w, n);
        return f < cap ? f : cap;
    }
    void reset(int w) override { cic_reset(h[w]); }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        const uint32_t r = pick_ratio(fdp);
        const uint32_t before = cic_get_ratio(h[0]);
        const uint32_t counter = cic_get_counter(h[0]);
        for (auto *s : h)
            cic_reconfigure(s, r);
        if (valid(r))
            CHECK(cic_get_ratio(h[0]) == r && cic_get_counter(h[0]) == 0, "reconfigure(%u)", r);
        else
            CHECK(cic_get_ratio(h[0]) == before && cic_get_counter(h[0]) == counter,
                  "invalid reconfigure(%u) changed the state", r);
    }
    void query(FuzzedDataProvider &) override { CHECK(cic_decimate_max_out() == 0, "max_out"); }
};

// ---- FIR ----------------------------------------------------------------------

struct FirFamily : Family {
    fir_state_t *h[2] = {nullptr, nullptr};
    size_t L;
    bool real;
    bool in_place;
    explicit FirFamily(FuzzedDataProvider &fdp)
    {
        fixed_out = true;
        L = fdp.ConsumeIntegralInRange<size_t>(0, 40);
        real = fdp.ConsumeBool();
        in_place = fdp.ConsumeBool();
        Rng rng{fdp.ConsumeIntegral<uint64_t>() | 1};
        const bool null_taps = fdp.ConsumeIntegralInRange<int>(0, 15) == 0;
        std::vector<float> t = _samples(rng, L, real ? 1 : 2, fdp.ConsumeIntegralInRange<unsigned>(0, 40));
        std::unique_ptr<float[]> exact_taps(new float[t.size() + 1]);
        if (!t.empty())
            std::memcpy(exact_taps.get(), t.data(), t.size() * sizeof(float));
        const void *taps = null_taps ? nullptr : exact_taps.get();
        auto kept = std::make_shared<std::vector<float>>(t);
        kept->push_back(0.0f);
        make_one = [kept, r = real, n = L]() -> void * {
            return r ? fir_create_real(kept->data(), n)
                     : fir_create(reinterpret_cast<const cf32_t *>(kept->data()), n);
        };
        free_one = [](void *p) { fir_destroy(static_cast<fir_state_t *>(p)); };
        LibCall c;
        for (auto &s : h)
            s = real ? fir_create_real(static_cast<const float *>(taps), L)
                     : fir_create(static_cast<const cf32_t *>(taps), L);
        const bool expect = L != 0 && !null_taps;
        CHECK((h[0] != nullptr) == expect && (h[1] != nullptr) == expect, "fir_create(L=%zu)", L);
    }
    ~FirFamily() override
    {
        fir_destroy(h[0]);
        fir_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    bool allocates() const override { return true; }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t) override
    {
        const cf32_t *src = reinterpret_cast<const cf32_t *>(in);
        if (in_place && n) {
            std::memcpy(out, in, n * sizeof(cf32_t));
            src = out;
        }
        const size_t cap0 = fir_get_work_cap(h[w]);
        LibCall c;
        const size_t r = fir_execute(h[w], src, n, out);
        if (r == n && n)
            CHECK(fir_get_work_cap(h[w]) == (cap0 > n + L - 1 ? cap0 : n + L - 1), "work area %zu",
                  fir_get_work_cap(h[w]));
        return r;
    }
    size_t bound(int, Kind, const float *, size_t n) override { return n; }
    size_t exact(int, Kind, const float *, size_t n, size_t) override { return n; }
    void reset(int w) override { fir_reset(h[w]); }
    void retune(FuzzedDataProvider &, int) override {}
    void query(FuzzedDataProvider &) override
    {
        CHECK(fir_get_num_taps(h[0]) == L && fir_get_is_real(h[0]) == (real ? 1 : 0) &&
                  fir_execute_max_out() == 0,
              "getters");
    }
};

// ---- resampler ----------------------------------------------------------------

struct ResampFamily : Family {
    resamp_state_t *h[2] = {nullptr, nullptr};
    bool rows_ok = true; // P a power of two from 2 up: resamp_execute works
    explicit ResampFamily(FuzzedDataProvider &fdp)
    {
        has_ctrl = true;
        ctrl_width = 2;
        const double rate = _edge_rate(fdp, false);
        free_one = [](void *p) { resamp_destroy(static_cast<resamp_state_t *>(p)); };
        if (fdp.ConsumeIntegralInRange<int>(0, 2) != 0) {
            make_one = [rate] { return static_cast<void *>(resamp_create(rate)); };
            LibCall c;
            h[0] = resamp_create(rate);
            h[1] = resamp_create(rate);
            CHECK(h[0] && h[1], "resamp_create(%g)", rate);
        } else {
            size_t P = fdp.ConsumeBool() ? size_t{1} << fdp.ConsumeIntegralInRange<int>(0, 7)
                                         : fdp.ConsumeIntegralInRange<size_t>(0, 70);
            const size_t T = fdp.ConsumeIntegralInRange<size_t>(0, 40);
            const bool null_bank = fdp.ConsumeIntegralInRange<int>(0, 15) == 0;
            Rng rng{fdp.ConsumeIntegral<uint64_t>() | 1};
            std::unique_ptr<float[]> bank(new float[P * T + 1]);
            for (size_t k = 0; k < P * T; ++k)
                bank[k] = static_cast<float>(rng.unit() - 0.4);
            auto kept = std::make_shared<std::vector<float>>(bank.get(), bank.get() + P * T + 1);
            make_one = [kept, P, T, rate] {
                return static_cast<void *>(resamp_create_custom(P, T, kept->data(), rate));
            };
            LibCall c;
            h[0] = resamp_create_custom(P, T, null_bank ? nullptr : bank.get(), rate);
            h[1] = resamp_create_custom(P, T, null_bank ? nullptr : bank.get(), rate);
            const bool expect = P && T && !null_bank && rate > 0.0;
            CHECK((h[0] != nullptr) == expect && (h[1] != nullptr) == expect, "custom(%zu, %zu, %g)", P,
                  T, rate);
            rows_ok = P >= 2 && (P & (P - 1)) == 0;
        }
        if (h[0])
            CHECK(_same_double(resamp_get_rate(h[0]), rate), "rate kept");
    }
    ~ResampFamily() override
    {
        resamp_destroy(h[0]);
        resamp_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    size_t exec(int w, Kind k, const float *in, const float *ctrl, size_t n, cf32_t *out, size_t cap) override
    {
        size_t r;
        {
            LibCall c;
            r = k == Kind::ctrl ? resamp_execute_ctrl(h[w], reinterpret_cast<const cf32_t *>(in),
                                                      reinterpret_cast<const cf32_t *>(ctrl), n, out, cap)
                                : resamp_execute(h[w], reinterpret_cast<const cf32_t *>(in), n, out, cap);
            CHECK(c.allocs() == 0, "resampler allocated");
        }
        return r;
    }
    size_t bound(int w, Kind k, const float *ctrl, size_t n) override
    {
        (void)ctrl;
        if (k == Kind::ctrl) // the control clock is not visible: no bound
            return SIZE_MAX;
        if (!rows_ok)
            return 0;
        const double rate = resamp_get_rate(h[w]);
        if (rate == 1.0)
            return n;
        if (n == 0)
            return 0;
        const uint64_t s = resamp_get_phase_step(h[w]);
        const uint64_t p0 = resamp_get_phase(h[w]);
        if (resamp_get_interpolating(h[w])) {
            if (s == 0)
                return SIZE_MAX;
            // Outputs until the n-th carry: ceil((n*2^32 - p0) / s).
            const unsigned __int128 num = (static_cast<unsigned __int128>(n) << 32) - p0;
            const unsigned __int128 q = (num + s - 1) / s;
            return q > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(q);
        }
        // One output per carry: floor((p0 + n*s) / 2^32).
        const unsigned __int128 tot = static_cast<unsigned __int128>(n) * s + p0;
        return static_cast<size_t>(tot >> 32);
    }
    size_t exact(int w, Kind k, const float *ctrl, size_t n, size_t cap) override
    {
        if (k == Kind::ctrl)
            return SIZE_MAX;
        if (!rows_ok)
            return 0;
        const double rate = resamp_get_rate(h[w]);
        if (rate == 1.0)
            return n < cap ? n : cap;
        if (n == 0 || cap == 0)
            return 0;
        const size_t b = bound(w, k, ctrl, n);
        return b < cap ? b : cap;
    }
    void reset(int w) override { resamp_reset(h[w]); }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        const double rate = _edge_rate(fdp, false);
        for (auto *s : h) {
            LibCall c;
            resamp_set_rate(s, rate);
            CHECK(c.allocs() == 0, "set_rate allocated");
        }
        CHECK(_same_double(resamp_get_rate(h[0]), rate), "set_rate kept");
        CHECK(resamp_get_interpolating(h[0]) == (rate >= 1.0 ? 1 : 0), "interpolating flag");
    }
};

// ---- rate converter -----------------------------------------------------------

bool _plannable(double rate)
{
    // Rates the converter must accept: positive, finite, above 2^-13 (a CIC
    // by 4096 and a resampler reach anything from there), at most 2^20.
    return rate > 0x1p-13 && rate <= 0x1p20;
}

struct RcFamily : Family {
    RateConverter *h[2] = {nullptr, nullptr};
    int compensate;
    double rate;
    explicit RcFamily(FuzzedDataProvider &fdp)
    {
        compensate = fdp.ConsumeBool() ? 1 : 0;
        rate = _edge_rate(fdp, false);
        make_one = [c = compensate, r = rate] { return static_cast<void *>(RateConverter_create(c, r)); };
        free_one = [](void *p) { RateConverter_destroy(static_cast<RateConverter *>(p)); };
        LibCall c;
        h[0] = RateConverter_create(compensate, rate);
        h[1] = RateConverter_create(compensate, rate);
        if (!(rate > 0.0) || !std::isfinite(rate))
            CHECK(!h[0] && !h[1], "created for rate %g", rate);
        if (_plannable(rate))
            CHECK(h[0] && h[1], "refused rate %.17g", rate);
        if (h[0]) {
            CHECK(_same_double(RateConverter_get_rate(h[0]), rate), "rate kept");
            const int ns = RateConverter_get_num_stages(h[0]);
            CHECK(ns == 1 || ns == 2, "%d stages", ns);
        }
        CHECK((h[0] == nullptr) == (h[1] == nullptr), "twins differ");
    }
    ~RcFamily() override
    {
        RateConverter_destroy(h[0]);
        RateConverter_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    bool allocates() const override { return true; }
    bool empty(int w) const override { return RateConverter_get_num_stages(h[w]) == 0; }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t cap) override
    {
        LibCall c;
        return RateConverter_execute(h[w], reinterpret_cast<const cf32_t *>(in), n, out, cap);
    }
    // A compensation FIR that cannot grow its work area loses the block the
    // CIC already wrote into out (documented): 0 is returned over CIC samples.
    bool failure_scribbles() const override { return compensate != 0; }
    bool failure_consumed_nothing(size_t count) override
    {
        // The scratch reserve fails before any stage runs (buffers then
        // released); a compensation FIR that cannot grow loses the CIC block.
        return count == 0 && RateConverter_get_scratch_cap(h[0]) == 0;
    }
    size_t bound(int w, Kind, const float *, size_t n) override
    {
        const size_t b = RateConverter_capacity(h[w], n);
        if (RateConverter_get_rate(h[w]) < 1.0 && RateConverter_get_num_stages(h[w]) > 0)
            CHECK(b <= (n > 2 ? n : 2) || n == 0, "capacity %zu for %zu inputs below rate 1", b, n);
        return b;
    }
    size_t exact(int w, Kind, const float *, size_t n, size_t cap) override
    {
        if (RateConverter_get_num_stages(h[w]) == 0 || n == 0)
            return 0;
        (void)cap;
        return SIZE_MAX;
    }
    void reset(int w) override
    {
        LibCall c;
        RateConverter_reset(h[w]);
        CHECK(c.allocs() == 0, "reset allocated");
    }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        const double r = _edge_rate(fdp, false);
        const int ns0 = RateConverter_get_num_stages(h[0]);
        for (auto *s : h)
            RateConverter_set_rate(s, r);
        if (!(r > 0.0) || !std::isfinite(r)) {
            CHECK(RateConverter_get_num_stages(h[0]) == ns0, "ignored rate changed stages");
            return;
        }
        if (_plannable(r))
            CHECK(RateConverter_get_num_stages(h[0]) > 0, "set_rate(%.17g) left it empty", r);
        rate = RateConverter_get_rate(h[0]);
    }
    void query(FuzzedDataProvider &fdp) override
    {
        const double r = RateConverter_get_rate(h[0]);
        size_t want = 65538;
        if (r > 1.0) {
            const double p = r * 65536.0;
            want = p >= 18446744073709551616.0 ? SIZE_MAX
                                              : (static_cast<uint64_t>(p) > SIZE_MAX - 2
                                                     ? SIZE_MAX
                                                     : static_cast<size_t>(static_cast<uint64_t>(p)) + 2);
        }
        CHECK(RateConverter_execute_max_out(h[0]) == want, "max_out for rate %g", r);
        const int index = fdp.ConsumeIntegralInRange<int>(-2, 3);
        const size_t size = fdp.ConsumeIntegralInRange<size_t>(0, 40);
        std::unique_ptr<char[]> buf(new char[size + 1]);
        std::memset(buf.get(), 'Z', size + 1);
        const int got = RateConverter_stage_label(h[0], index, buf.get(), size);
        const bool in_range = index >= 0 && index < RateConverter_get_num_stages(h[0]);
        CHECK(got == (in_range ? 1 : 0), "label(%d) returned %d", index, got);
        CHECK(buf[size] == 'Z', "label wrote past its %zu bytes", size);
        if (!in_range || size == 0)
            CHECK(size == 0 || buf[0] == 'Z', "label touched the buffer");
        else
            CHECK(std::memchr(buf.get(), '\0', size) != nullptr, "label not terminated");
    }
};

// ---- front ends ---------------------------------------------------------------

struct DdcrFamily : Family {
    ddcr_state_t *h[2] = {nullptr, nullptr};
    double freq, rate;
    explicit DdcrFamily(FuzzedDataProvider &fdp)
    {
        in_width = 1;
        freq = _any_freq(fdp);
        rate = _edge_rate(fdp, true);
        make_one = [f = freq, r = rate] { return static_cast<void *>(ddcr_create(f, r)); };
        free_one = [](void *p) { ddcr_destroy(static_cast<ddcr_state_t *>(p)); };
        LibCall c;
        h[0] = ddcr_create(freq, rate);
        h[1] = ddcr_create(freq, rate);
        const bool valid = rate > 0.0 && rate < 0.5;
        if (!valid)
            CHECK(!h[0] && !h[1], "ddcr_create accepted rate %.17g", rate);
        if (valid && 2.0 * rate > 0x1p-13)
            CHECK(h[0] && h[1], "ddcr_create refused rate %.17g", rate);
        if (h[0])
            CHECK(_same_double(ddcr_get_rate(h[0]), rate) && _same_double(ddcr_get_norm_freq(h[0]), freq),
                  "getters");
        CHECK((h[0] == nullptr) == (h[1] == nullptr), "twins differ");
    }
    ~DdcrFamily() override
    {
        ddcr_destroy(h[0]);
        ddcr_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    bool allocates() const override { return true; }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t cap) override
    {
        LibCall c;
        return ddcr_execute(h[w], in, n, out, cap);
    }
    size_t bound(int, Kind, const float *, size_t n) override { return ddcr_execute_capacity(n); }
    size_t exact(int, Kind, const float *, size_t n, size_t) override { return n == 0 ? 0 : SIZE_MAX; }
    void reset(int w) override
    {
        LibCall c;
        ddcr_reset(h[w]);
        CHECK(c.allocs() == 0, "reset allocated");
        CHECK(_same_double(ddcr_get_norm_freq(h[w]), freq), "reset changed the frequency");
    }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        freq = _any_freq(fdp);
        for (auto *s : h) {
            LibCall c;
            ddcr_set_norm_freq(s, freq);
            CHECK(c.allocs() == 0, "retune allocated");
        }
        CHECK(_same_double(ddcr_get_norm_freq(h[0]), freq), "retune not kept");
    }
    void query(FuzzedDataProvider &) override
    {
        CHECK(ddcr_execute_max_out() == 0 && ddcr_execute_capacity(0) == 0 && ddcr_execute_capacity(1) >= 2,
              "capacity queries");
    }
};

struct DdcFamily : Family {
    ddc_state_t *h[2] = {nullptr, nullptr};
    double freq, rate;
    explicit DdcFamily(FuzzedDataProvider &fdp)
    {
        freq = _any_freq(fdp);
        rate = _edge_rate(fdp, false);
        make_one = [f = freq, r = rate] { return static_cast<void *>(ddc_create(f, r)); };
        free_one = [](void *p) { ddc_destroy(static_cast<ddc_state_t *>(p)); };
        LibCall c;
        h[0] = ddc_create(freq, rate);
        h[1] = ddc_create(freq, rate);
        if (!(rate > 0.0) || !std::isfinite(rate))
            CHECK(!h[0] && !h[1], "ddc_create accepted rate %g", rate);
        if (_plannable(rate))
            CHECK(h[0] && h[1], "ddc_create refused rate %.17g", rate);
        if (h[0])
            CHECK(_same_double(ddc_get_rate(h[0]), rate) && _same_double(ddc_get_norm_freq(h[0]), freq),
                  "getters");
        CHECK((h[0] == nullptr) == (h[1] == nullptr), "twins differ");
    }
    ~DdcFamily() override
    {
        ddc_destroy(h[0]);
        ddc_destroy(h[1]);
    }
    bool ok() const override { return h[0] != nullptr; }
    bool allocates() const override { return true; }
    size_t exec(int w, Kind, const float *in, const float *, size_t n, cf32_t *out, size_t cap) override
    {
        LibCall c;
        return ddc_execute(h[w], reinterpret_cast<const cf32_t *>(in), n, out, cap);
    }
    size_t bound(int w, Kind, const float *, size_t n) override
    {
        const size_t b = ddc_execute_capacity(h[w], n);
        if (ddc_get_rate(h[w]) < 1.0)
            CHECK(b <= (n > 2 ? n : 2) || n == 0, "capacity %zu for %zu inputs below rate 1", b, n);
        if (ddc_get_rate(h[w]) == 1.0)
            CHECK(b == n, "capacity %zu for %zu inputs at rate 1", b, n);
        return b;
    }
    size_t exact(int w, Kind, const float *, size_t n, size_t cap) override
    {
        if (n == 0)
            return 0;
        if (ddc_get_rate(h[w]) == 1.0)
            return n < cap ? n : cap;
        return SIZE_MAX;
    }
    void reset(int w) override
    {
        LibCall c;
        ddc_reset(h[w]);
        CHECK(c.allocs() == 0, "reset allocated");
    }
    void retune(FuzzedDataProvider &fdp, int) override
    {
        freq = _any_freq(fdp);
        for (auto *s : h)
            ddc_set_norm_freq(s, freq);
        CHECK(_same_double(ddc_get_norm_freq(h[0]), freq), "retune not kept");
    }
    void query(FuzzedDataProvider &) override
    {
        CHECK(ddc_execute_max_out() == 0 && ddc_execute_capacity(h[0], 0) == 0, "capacity queries");
    }
};

// ---------------------------------------------------------------------------
// The twin driver

struct Driver {
    Family &f;
    Rng rng;
    // Queued for B: everything A consumed whole since the last sync.
    Kind kind = Kind::plain;
    std::vector<float> q_in, q_ctrl;
    size_t q_n = 0;
    std::vector<cf32_t> a_out; // what A produced for the queued inputs
    bool diverged = false;

    void flush()
    {
        if (diverged || q_n == 0) {
            q_in.clear();
            q_ctrl.clear();
            a_out.clear();
            q_n = 0;
            return;
        }
        const size_t known = f.whole_cap(1, kind, q_ctrl.data(), q_n);
        const size_t b = known == SIZE_MAX ? kMaxOut : known;
        if (b > kMaxOut) { // B cannot follow in one call; stop comparing
            diverged = true;
            flush();
            return;
        }
        std::vector<cf32_t> out(b + 1);
        ddc_simd_force(DDC_SIMD_SCALAR);
        const size_t got = f.exec(1, kind, q_in.data(), q_ctrl.data(), q_n, out.data(), b);
        if (known == SIZE_MAX && got == b) { // B may have run out of room: no verdict
            diverged = true;
            flush();
            return;
        }
        CHECK(got == a_out.size(), "block split: one call gave %zu samples, the blocks %zu (%zu inputs)", got,
              a_out.size(), q_n);
        for (size_t i = 0; i < got; ++i)
            CHECK(_same_sample(out[i], a_out[i]), "block split: sample %zu of %zu differs (%g%+gj vs %g%+gj)", i,
                  got, out[i].re, out[i].im, a_out[i].re, a_out[i].im);
        q_in.clear();
        q_ctrl.clear();
        a_out.clear();
        q_n = 0;
    }

    size_t pick_n(FuzzedDataProvider &fdp)
    {
        switch (fdp.ConsumeIntegralInRange<int>(0, 31)) {
        case 0: case 1: case 2: return 0;
        case 3: case 4: case 5: return 1;
        case 6: case 7: case 8: case 9: return fdp.ConsumeIntegralInRange<size_t>(2, 8);
        case 10: case 11: return fdp.ConsumeIntegralInRange<size_t>(0, 5000);
        case 12: return fdp.ConsumeIntegralInRange<size_t>(0, 70000); // past the 16-bit table index
        default: return fdp.ConsumeIntegralInRange<size_t>(0, 300);
        }
    }

    void exec(FuzzedDataProvider &fdp)
    {
        const Kind k = f.has_ctrl && fdp.ConsumeIntegralInRange<int>(0, 3) == 0 ? Kind::ctrl : Kind::plain;
        if (k != kind) {
            flush();
            kind = k;
        }
        const size_t n = pick_n(fdp);
        const unsigned special = fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegralInRange<unsigned>(0, 300);
        std::vector<float> in = _samples(rng, n, f.in_width, special);
        std::vector<float> ctrl;
        if (k == Kind::ctrl) {
            ctrl = _samples(rng, n, f.ctrl_width, special);
            const double scale = fdp.ConsumeFloatingPointInRange<double>(0.0, 2.0);
            for (size_t i = 0; i < ctrl.size(); i += f.ctrl_width)
                ctrl[i] = static_cast<float>(ctrl[i] * scale);
        }
        const size_t b = f.bound(0, k, ctrl.data(), n);
        const size_t wc = f.whole_cap(0, k, ctrl.data(), n);
        // Capacity: 0, 1, just the bound, a little short, a little over, or
        // "unlimited" over a buffer that only holds the bound.
        size_t cap;
        size_t room;
        switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: cap = 0; break;
        case 1: cap = 1; break;
        case 2: cap = b > 0 && b != SIZE_MAX ? b - 1 - fdp.ConsumeIntegralInRange<size_t>(0, b - 1) : 3; break;
        case 3: cap = b != SIZE_MAX ? b + fdp.ConsumeIntegralInRange<size_t>(0, 5) : 7; break;
        case 4: cap = b <= kMaxOut ? SIZE_MAX : 64; break;
        case 5: cap = wc != SIZE_MAX ? wc : 5; break;
        default: cap = b != SIZE_MAX ? b : fdp.ConsumeIntegralInRange<size_t>(0, 4096); break;
        }
        room = cap == SIZE_MAX ? b : cap;
        if (room > kMaxOut) {
            room = kMaxOut;
            cap = kMaxOut;
        }
        if (f.fixed_out) { // no capacity taken: the buffer must hold n
            room = n;
            cap = n;
        }
        // Exact-size heap blocks: ASan sees any access past the input, the
        // control block or the canaries.
        std::unique_ptr<float[]> in_buf(new float[in.size() + (in.empty() ? 1 : 0)]);
        if (!in.empty())
            std::memcpy(in_buf.get(), in.data(), in.size() * sizeof(float));
        std::unique_ptr<float[]> ctrl_buf(new float[ctrl.size() + 1]);
        if (!ctrl.empty())
            std::memcpy(ctrl_buf.get(), ctrl.data(), ctrl.size() * sizeof(float));
        std::unique_ptr<cf32_t[]> out(new cf32_t[room + kGuard]);
        for (size_t i = 0; i < room + kGuard; ++i) {
            std::memcpy(&out[i].re, &kCanary, 4);
            std::memcpy(&out[i].im, &kCanary, 4);
        }
        const size_t ex = f.exact(0, k, ctrl_buf.get(), n, cap);
        const int level = _pick_level(fdp);
        ddc_simd_force(level);
        // Allocation fault: let 0..5 library allocations through, then fail one.
        long fail_after = -1;
        if (f.allocates() && fdp.ConsumeIntegralInRange<int>(0, 7) == 0)
            fail_after = fdp.ConsumeIntegralInRange<long>(0, 5);
        // The family's exec opens a LibCall around the library call; it takes the fault.
        g_arm = fail_after;
        g_injected = false;
        const size_t got = f.exec(0, k, in_buf.get(), ctrl_buf.get(), n, out.get(), cap);
        const bool injected = g_injected;
        g_arm = -1;
        if (g_trace)
            std::fprintf(stderr, "step %d exec%s n=%zu cap=%zu bound=%zu whole_cap=%zu level=%d fault=%ld -> %zu%s\n",
                         g_step, k == Kind::ctrl ? "_ctrl" : "", n, cap, b, wc, level, fail_after, got,
                         injected ? " (injected)" : "");
        ddc_simd_force(DDC_SIMD_SCALAR);

        CHECK(got <= cap, "%zu outputs for capacity %zu (%zu inputs)", got, cap, n);
        CHECK(b == SIZE_MAX || got <= b, "%zu outputs above the documented bound %zu (%zu inputs)", got, b, n);
        if (!injected && ex != SIZE_MAX)
            CHECK(got == ex, "%zu outputs, expected %zu (%zu inputs, capacity %zu)", got, ex, n, cap);
        if (f.empty(0))
            CHECK(got == 0, "an empty converter produced %zu", got);
        // (An in-place FIR holds its input copy below n.)
        size_t clean_from = f.fixed_out && got < n ? n : got;
        if (injected && f.failure_scribbles())
            clean_from = room;
        for (size_t i = clean_from; i < room + kGuard; ++i) {
            uint32_t re, im;
            std::memcpy(&re, &out[i].re, 4);
            std::memcpy(&im, &out[i].im, 4);
            CHECK(re == kCanary && im == kCanary, "sample %zu written beyond the count %zu (capacity %zu)", i, got,
                  cap);
        }

        if (injected) {
            if (!f.failure_consumed_nothing(got))
                diverged = true;
            return; // nothing consumed: B must not see this block
        }
        const bool whole = (wc != SIZE_MAX && cap >= wc) || got < cap;
        if (!whole) {
            diverged = true;
            return;
        }
        if (diverged)
            return;
        q_in.insert(q_in.end(), in.begin(), in.end());
        q_ctrl.insert(q_ctrl.end(), ctrl.begin(), ctrl.end());
        q_n += n;
        a_out.insert(a_out.end(), out.get(), out.get() + got);
        if (q_n > 100000 || a_out.size() > kMaxOut / 2)
            flush();
    }
};

} // namespace

// ---------------------------------------------------------------------------

namespace {

void _design(FuzzedDataProvider &fdp)
{
    g_family = "design";
    for (int i = 0; i < 8 && fdp.remaining_bytes() > 0; ++i) {
        const uint32_t ntaps = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<uint32_t>(0, 25)
                                                 : fdp.ConsumeIntegral<uint32_t>() % 64;
        const uint32_t order = fdp.ConsumeBool() ? 4 : fdp.ConsumeIntegralInRange<uint32_t>(0, 12);
        const uint32_t ratio = fdp.ConsumeBool() ? uint32_t{1} << fdp.ConsumeIntegralInRange<int>(0, 12)
                                                 : fdp.ConsumeIntegral<uint32_t>();
        std::unique_ptr<double[]> taps(new double[ntaps + 1]);
        const double sentinel = 12345.678;
        for (uint32_t k = 0; k <= ntaps; ++k)
            taps[k] = sentinel;
        {
            LibCall c;
            ciccompmf(taps.get(), order, ratio, ntaps);
            CHECK(c.allocs() == 0, "ciccompmf allocated");
        }
        CHECK(taps[ntaps] == sentinel, "ciccompmf wrote past %u taps", ntaps);
        for (uint32_t k = 0; k < ntaps; ++k) {
            CHECK(taps[k] != sentinel, "ciccompmf left tap %u of %u", k, ntaps);
            if (ntaps > 19)
                CHECK(taps[k] == 0.0, "ciccompmf(%u taps) not zero-filled", ntaps);
            else if (!std::isnan(taps[k]) && !std::isnan(taps[ntaps - 1 - k]))
                CHECK(taps[k] == taps[ntaps - 1 - k], "asymmetric design");
        }
        const double a = fdp.ConsumeFloatingPoint<double>();
        const double beta = kaiser_beta(a);
        if (!(a >= 21.0))
            CHECK(beta == 0.0, "beta(%g) = %g", a, beta);
        const int32_t phases = fdp.ConsumeIntegral<int32_t>();
        const double fp = fdp.ConsumeFloatingPoint<double>(), fs = fdp.ConsumeFloatingPoint<double>();
        const int32_t t = kaiser_num_taps(phases, a, fp, fs);
        CHECK(t >= 0, "kaiser_num_taps = %d", t);
        if (phases <= 0)
            CHECK(t == 1, "kaiser_num_taps(%d phases) = %d", phases, t);
    }
}

std::unique_ptr<Family> _make(int family, FuzzedDataProvider &fdp)
{
    switch (family) {
    case 0: g_family = "lo"; return std::make_unique<LoFamily>(fdp);
    case 1: g_family = "hbdecim_r2c"; return std::make_unique<HbFamily<true>>(fdp);
    case 2: g_family = "hbdecim"; return std::make_unique<HbFamily<false>>(fdp);
    case 3: g_family = "cic"; return std::make_unique<CicFamily>(fdp);
    case 4: g_family = "fir"; return std::make_unique<FirFamily>(fdp);
    case 5: g_family = "resamp"; return std::make_unique<ResampFamily>(fdp);
    case 6: g_family = "RateConverter"; return std::make_unique<RcFamily>(fdp);
    case 7: g_family = "ddcr"; return std::make_unique<DdcrFamily>(fdp);
    default: g_family = "ddc"; return std::make_unique<DdcFamily>(fdp);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    g_step = 0;
    const int family = fdp.ConsumeIntegralInRange<int>(0, 9);
    if (family == 9) {
        _design(fdp);
        return 0;
    }
    std::unique_ptr<Family> f;
    std::unique_ptr<Driver> d;
    auto fresh = [&] {
        d.reset();
        f = _make(family, fdp);
        d.reset(new Driver{*f, Rng{fdp.ConsumeIntegral<uint64_t>() | 1}});
    };
    fresh();
    for (g_step = 1; g_step <= 48 && fdp.remaining_bytes() > 0; ++g_step) {
        if (!f->ok()) { // a refused create: try other arguments
            fresh();
            continue;
        }
        const int op = fdp.ConsumeIntegralInRange<int>(0, 15);
        if (op < 10) {
            d->exec(fdp);
        } else if (op < 12) { // reset both: back in step
            if (g_trace)
                std::fprintf(stderr, "step %d reset\n", g_step);
            d->flush();
            f->reset(0);
            f->reset(1);
            d->diverged = false;
        } else if (op < 14) { // retune / set_rate / reconfigure / set_phase on both
            if (g_trace)
                std::fprintf(stderr, "step %d retune\n", g_step);
            d->flush();
            f->retune(fdp, 2);
        } else if (op == 14) {
            f->query(fdp);
            // Replay the creation with one allocation failing: null or a
            // sound handle, and nothing leaked either way.
            g_arm = fdp.ConsumeIntegralInRange<long>(0, 8);
            void *p;
            {
                LibCall c;
                p = f->make_one();
            }
            g_arm = -1;
            if (p)
                f->free_one(p);
        } else { // destroy and create anew
            d->flush();
            fresh();
        }
    }
    if (f->ok())
        d->flush();
    return 0;
}
