/*
 * Native leak driver: runs create / execute / reset / retune / destroy cycles
 * over every family, the refused creations, and every single-allocation
 * failure of every create and of the processing calls that allocate. The
 * library's malloc/calloc/realloc/free are wrapped by the linker (see
 * tests/test_leaks.py), so the driver keeps its own count of live library
 * blocks: it must be back to zero after each family, and after everything.
 * Built against an AddressSanitizer archive it also runs under LeakSanitizer.
 *
 *   leak_driver CYCLES    prints "ok <cycles> <injected failures>" or fails
 */
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ddc/ddc.h"
#include "ddc/ddcr.h"
#include "design/ciccomp.h"
#include "rate/rate_converter.h"
#include "stages/cic.h"
#include "stages/fir.h"
#include "stages/hbdecim.h"
#include "stages/hbdecim_r2c.h"
#include "stages/lo.h"
#include "stages/nco.h"
#include "stages/presamp.h"
#include "stages/resamp.h"

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void *__real_realloc(void *, size_t);
extern "C" void *__real_aligned_alloc(size_t, size_t);
extern "C" void __real_free(void *);

namespace {

long g_live = 0;        // library blocks allocated and not yet freed
long g_fail_at = -1;    // allocation index that fails; -1: none
long g_count = 0;       // allocations since the fault was armed
long g_injected = 0;    // failures injected so far

bool _fail_now()
{
    if (g_fail_at < 0)
        return false;
    if (g_count++ == g_fail_at) {
        ++g_injected;
        return true;
    }
    return false;
}

} // namespace

extern "C" void *__wrap_malloc(size_t n)
{
    if (_fail_now())
        return nullptr;
    void *p = __real_malloc(n);
    if (p)
        ++g_live;
    return p;
}

extern "C" void *__wrap_calloc(size_t n, size_t s)
{
    if (_fail_now())
        return nullptr;
    void *p = __real_calloc(n, s);
    if (p)
        ++g_live;
    return p;
}

extern "C" void *__wrap_realloc(void *q, size_t n)
{
    if (_fail_now())
        return nullptr;
    void *p = __real_realloc(q, n);
    if (p && !q)
        ++g_live;
    return p;
}

extern "C" void *__wrap_aligned_alloc(size_t a, size_t n)
{
    if (_fail_now())
        return nullptr;
    void *p = __real_aligned_alloc(a, n);
    if (p)
        ++g_live;
    return p;
}

extern "C" void __wrap_free(void *p)
{
    if (p)
        --g_live;
    __real_free(p);
}

namespace {

const float kHb[18] = {
    0.00157905323f, -0.00467577344f, 0.0104431789f, -0.0201746244f, 0.0357989259f,
    -0.0608663708f, 0.104113407f,    -0.19753781f,  0.631600916f,   0.631600916f,
    -0.19753781f,   0.104113407f,    -0.0608663708f, 0.0357989259f, -0.0201746244f,
    0.0104431789f,  -0.00467577344f, 0.00157905323f,
};

std::vector<cf32_t> g_x, g_y;
std::vector<float> g_r;

[[noreturn]] void _fail(const char *what)
{
    std::printf("FAIL %s (live blocks %ld)\n", what, g_live);
    std::exit(1);
}

void _balanced(const char *what)
{
    if (g_live != 0)
        _fail(what);
}

// Calls create() with the k-th allocation failing, for k = 0, 1, ... until a
// call makes no allocation that could fail. A failed create must return null
// and leave nothing behind; a create that survives the failure (an optional
// table) must still be a sound handle.
template <class Create, class Destroy>
void _sweep(const char *what, Create create, Destroy destroy)
{
    for (long k = 0;; ++k) {
        g_fail_at = k;
        g_count = 0;
        auto *h = create();
        const bool fired = g_count > k;
        g_fail_at = -1;
        if (h)
            destroy(h);
        _balanced(what);
        if (!fired) {
            if (!h)
                _fail(what); // refused with every allocation served
            return;
        }
        if (k > 64)
            _fail(what);
    }
}

// Runs exec() with the k-th allocation failing for k = 0, 1, ... (each on a
// fresh handle) until a run makes no allocation that could fail.
template <class Create, class Exec, class Destroy>
void _sweep_exec(const char *what, Create create, Exec exec, Destroy destroy)
{
    for (long k = 0; k < 16; ++k) {
        auto *h = create();
        if (!h)
            _fail(what);
        g_fail_at = k;
        g_count = 0;
        exec(h);
        const bool fired = g_count > k;
        g_fail_at = -1;
        exec(h); // and again with memory available
        destroy(h);
        _balanced(what);
        if (!fired)
            return;
    }
}

void _lo()
{
    for (double f : {0.25, -0.7, double(NAN), double(INFINITY), -1e-300}) {
        lo_state_t *s = lo_create(f);
        if (!s)
            _fail("lo_create");
        lo_steps(s, 5000, g_y.data());
        lo_steps_ctrl(s, g_r.data(), 3000, g_y.data());
        lo_set_norm_freq(s, 0.1);
        lo_reset(s);
        lo_destroy(s);
    }
    lo_destroy(nullptr);
    _sweep("lo_create", [] { return lo_create(0.3); }, lo_destroy);
    _balanced("lo");
    for (double f : {0.25, -0.7, double(NAN), double(INFINITY), -1e-300}) {
        nco_state_t *s = nco_create(f);
        if (!s)
            _fail("nco_create");
        nco_steps(s, 5000, g_y.data());
        nco_mix(s, g_x.data(), 3000, g_y.data());
        nco_set_norm_freq(s, 0.1);
        nco_reset(s);
        nco_destroy(s);
    }
    nco_destroy(nullptr);
    _sweep("nco_create", [] { return nco_create(0.3); }, nco_destroy);
    _balanced("nco");
}

template <class Create, class Exec, class Reset, class Destroy>
void _stage(const char *what, Create create, Exec exec, Reset reset, Destroy destroy)
{
    auto *s = create();
    if (!s)
        _fail(what);
    for (size_t n : {0, 1, 7, 4096, 3})
        exec(s, n);
    reset(s);
    exec(s, 100);
    destroy(s);
    destroy(nullptr);
    _sweep(what, create, destroy);
    _balanced(what);
}

void _stages()
{
    for (size_t taps : {1, 2, 19, 36}) {
        _stage("hbdecim_r2c", [taps] { return hbdecim_r2c_create(taps, kHb); },
               [](hbdecim_r2c_state_t *s, size_t n) { hbdecim_r2c_execute(s, g_r.data(), n, g_y.data(), n / 2 + 1); },
               hbdecim_r2c_reset, hbdecim_r2c_destroy);
        _stage("hbdecim", [taps] { return hbdecim_create(taps, kHb); },
               [](hbdecim_state_t *s, size_t n) { hbdecim_execute(s, g_x.data(), n, g_y.data(), n / 2 + 1); },
               hbdecim_reset, hbdecim_destroy);
    }
    if (hbdecim_create(0, kHb) || hbdecim_r2c_create(19, nullptr))
        _fail("half-band accepted bad arguments");
    for (uint32_t r : {2u, 8u, 4096u}) {
        _stage("cic", [r] { return cic_create(r); },
               [](cic_state_t *s, size_t n) {
                   cic_execute(s, g_x.data(), n, g_y.data(), n + 1);
                   cic_reconfigure(s, 3); // refused
               },
               cic_reset, cic_destroy);
    }
    if (cic_create(3) || cic_create(8192))
        _fail("cic accepted a bad ratio");
    for (size_t L : {1, 7, 16, 40}) {
        std::vector<float> t(L, 0.1f);
        std::vector<cf32_t> tc(L, cf32_t{0.1f, -0.2f});
        _stage("fir_real", [&] { return fir_create_real(t.data(), L); },
               [](fir_state_t *s, size_t n) { fir_execute(s, g_x.data(), n, g_y.data()); }, fir_reset,
               fir_destroy);
        _stage("fir", [&] { return fir_create(tc.data(), L); },
               [](fir_state_t *s, size_t n) { fir_execute(s, g_y.data(), n, g_y.data()); }, fir_reset,
               fir_destroy);
        _sweep_exec("fir_execute", [&] { return fir_create_real(t.data(), L); },
                    [](fir_state_t *s) { fir_execute(s, g_x.data(), 5000, g_y.data()); }, fir_destroy);
    }
    if (fir_create(nullptr, 3) || fir_create_real(g_r.data(), 0))
        _fail("fir accepted bad arguments");
    for (double rate : {0.3, 1.0, 2.5, 0.0, -1.0, double(NAN)}) {
        _stage("resamp", [rate] { return resamp_create(rate); },
               [](resamp_state_t *s, size_t n) {
                   resamp_execute(s, g_x.data(), n, g_y.data(), 3 * n + 3);
                   resamp_execute_ctrl(s, g_x.data(), g_x.data(), n / 4, g_y.data(), n);
                   resamp_set_rate(s, resamp_get_rate(s));
               },
               resamp_reset, resamp_destroy);
    }
    std::vector<float> bank(64 * 5, 0.2f);
    _stage("resamp_custom", [&] { return resamp_create_custom(64, 5, bank.data(), 0.7); },
           [](resamp_state_t *s, size_t n) { resamp_execute(s, g_x.data(), n, g_y.data(), n + 1); },
           resamp_reset, resamp_destroy);
    if (resamp_create_custom(0, 5, bank.data(), 1.0) || resamp_create_custom(4, 5, bank.data(), 0.0))
        _fail("resamp_create_custom accepted bad arguments");
    // Designed resampler: a table designed into the cache, one of its own
    // (too large for the cache), and one served from the cache.
    for (double rate : {0.59, 3.3, 0.0005, 0.59}) {
        _stage("presamp", [rate] { return presamp_create(rate, 100.0); },
               [](presamp_state_t *s, size_t n) {
                   presamp_execute(s, g_x.data(), n, g_y.data(), presamp_capacity(s, n));
                   presamp_execute(s, g_x.data(), n, g_y.data(), 2);
               },
               presamp_reset, presamp_destroy);
    }
    if (presamp_create(0.0, 80.0) || presamp_create(0.5, 39.0) || presamp_create(1e-7, 140.0))
        _fail("presamp_create accepted bad arguments");
    double taps[7];
    ciccompmf(taps, 4, 16, 7);
    _balanced("stages");
}

const double kRates[] = {2.0, 1.0, 0.75, 0.5, 0.4, 0.25, 0.2, 0.125, 0.1, 0.09, 0.07, 1.0 / 12,
                         0.0625, 1.0 / 4096, 0.0002, 0x1p-14, 3.7};

void _converters()
{
    for (int comp : {0, 1}) {
        for (double rate : kRates) {
            _stage("RateConverter", [comp, rate] { return RateConverter_create(comp, rate); },
                   [](RateConverter *rc, size_t n) {
                       RateConverter_execute(rc, g_x.data(), n, g_y.data(), g_y.size());
                       char label[8];
                       RateConverter_stage_label(rc, 0, label, sizeof label);
                   },
                   RateConverter_reset, RateConverter_destroy);
            _sweep_exec("RateConverter_execute", [comp, rate] { return RateConverter_create(comp, rate); },
                        [](RateConverter *rc) { RateConverter_execute(rc, g_x.data(), 5000, g_y.data(), g_y.size()); },
                        RateConverter_destroy);
            RateConverter *rc = RateConverter_create(comp, rate);
            RateConverter_execute(rc, g_x.data(), 100, g_y.data(), g_y.size());
            RateConverter_set_rate(rc, 0.0001); // unbuildable: empty converter
            RateConverter_execute(rc, g_x.data(), 100, g_y.data(), g_y.size());
            RateConverter_set_rate(rc, -1.0);   // ignored
            RateConverter_set_rate(rc, rate);   // refilled
            RateConverter_execute(rc, g_x.data(), 200, g_y.data(), g_y.size());
            RateConverter_destroy(rc);
            RateConverter_convert(comp, rate, g_x.data(), 300, g_y.data(), g_y.size());
        }
    }
    if (RateConverter_create(0, 0.0) || RateConverter_create(0, 0.0001) || RateConverter_create(0, NAN))
        _fail("RateConverter accepted a bad rate");
    RateConverter_destroy(nullptr);
    _balanced("converters");

    for (double rate : {0.25, 0.1, 0.0371, 0.49, 0.001}) {
        _stage("ddcr", [rate] { return ddcr_create(-0.7, rate); },
               [](ddcr_state_t *s, size_t n) {
                   ddcr_execute(s, g_r.data(), n, g_y.data(), ddcr_execute_capacity(n));
                   ddcr_set_norm_freq(s, 0.1);
               },
               ddcr_reset, ddcr_destroy);
        _sweep_exec("ddcr_execute", [rate] { return ddcr_create(-0.7, rate); },
                    [](ddcr_state_t *s) { ddcr_execute(s, g_r.data(), 5001, g_y.data(), 5001); }, ddcr_destroy);
    }
    for (double rate : {0.25, 1.0, 3.0, 0.07, 0.0002}) {
        _stage("ddc", [rate] { return ddc_create(0.1, rate); },
               [](ddc_state_t *s, size_t n) {
                   ddc_execute(s, g_x.data(), n, g_y.data(), ddc_execute_capacity(s, n));
                   ddc_set_norm_freq(s, -0.2);
               },
               ddc_reset, ddc_destroy);
        _sweep_exec("ddc_execute", [rate] { return ddc_create(0.1, rate); },
                    [](ddc_state_t *s) { ddc_execute(s, g_x.data(), 3000, g_y.data(), ddc_execute_capacity(s, 3000)); },
                    ddc_destroy);
    }
    if (ddcr_create(0, 0.5) || ddc_create(0, -1.0))
        _fail("front end accepted a bad rate");
    _balanced("front ends");
}

} // namespace

int main(int argc, char **argv)
{
    const long cycles = argc > 1 ? std::atol(argv[1]) : 1;
    g_x.assign(20000, cf32_t{0.5f, -0.25f});
    g_y.assign(70000, cf32_t{0.0f, 0.0f});
    g_r.assign(20000, 0.3f);
    for (size_t i = 0; i < g_x.size(); ++i) {
        g_x[i].re = std::sin(0.01f * i);
        g_r[i] = std::cos(0.37f * i);
    }
    // The process-wide tables (sine table, resampler bank) are built once and
    // kept for good; build them before counting.
    lo_destroy(lo_create(0.0));
    nco_destroy(nco_create(0.0));
    resamp_destroy(resamp_create(0.5));
    g_live = 0;
    for (long c = 0; c < cycles; ++c) {
        _lo();
        _stages();
        _converters();
    }
    _balanced("end");
    std::printf("ok %ld %ld\n", cycles, g_injected);
    return 0;
}
