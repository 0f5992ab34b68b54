/*
 * ThreadSanitizer driver: the library's own thread-safety claims, natively.
 * Threads released together by one barrier make the first oscillator,
 * resampler, converter and front-end creations of the process race (the
 * oscillator tables and the resampler bank are built once, whoever comes
 * first; designed resamplers meet in the table cache), then each runs its own
 * handles over the same signal. Every thread's output must equal a
 * single-threaded run afterwards, and TSan must see no data race.
 *
 *   thread_driver [THREADS]     prints "ok <threads>" or fails
 */
#include <barrier>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ddc/ddc.h"
#include "ddc/ddcr.h"
#include "rate/rate_converter.h"
#include "stages/cic.h"
#include "stages/fir.h"
#include "stages/lo.h"
#include "stages/nco.h"
#include "stages/presamp.h"
#include "stages/resamp.h"
#include "stages/simd.h"

namespace {

constexpr size_t kN = 6000;

struct Signals {
    std::vector<cf32_t> xc;
    std::vector<float> xr;
};

// Runs one of everything over the signals in uneven blocks; returns the bytes.
std::vector<unsigned char> _work(const Signals &sig, int k)
{
    std::vector<unsigned char> bytes;
    auto keep = [&](const cf32_t *p, size_t n) {
        const auto *b = reinterpret_cast<const unsigned char *>(p);
        bytes.insert(bytes.end(), b, b + n * sizeof(cf32_t));
    };
    std::vector<cf32_t> out(4 * kN + 16);
    const size_t cuts[] = {1, 999, 1001, 4000, kN}; // block ends

    lo_state_t *lo = lo_create(0.1 + 0.01 * (k % 3));
    lo_steps(lo, kN, out.data());
    keep(out.data(), kN);
    lo_destroy(lo);

    nco_state_t *nco = nco_create(-0.2 + 0.01 * (k % 3));
    nco_mix(nco, sig.xc.data(), kN, out.data());
    keep(out.data(), kN);
    nco_destroy(nco);

    resamp_state_t *rs = resamp_create(k % 2 ? 0.37 : 2.3);
    RateConverter *rc = RateConverter_create(1, 0.0371);
    ddc_state_t *dc = ddc_create(-0.1, k % 2 ? 0.3 : 1.7);
    ddcr_state_t *dr = ddcr_create(-0.7, k % 2 ? 0.1 : 0.25);
    presamp_state_t *ps = presamp_create(k % 2 ? 0.59 : 1.5, 60.0 + 20.0 * (k % 3));
    // designed plans meet in the half-band design cache
    ddcr_state_t *gr = ddcr_create_designed(-0.7, k % 2 ? 0.1 : 0.0625, 60.0 + 20.0 * (k % 3));
    ddc_state_t *gc = ddc_create_designed(-0.1, k % 2 ? 0.3 : 1.0 / 16, 80.0);
    size_t at = 0;
    for (size_t cut : cuts) {
        const size_t n = cut - at;
        keep(out.data(), resamp_execute(rs, sig.xc.data() + at, n, out.data(), out.size()));
        keep(out.data(), RateConverter_execute(rc, sig.xc.data() + at, n, out.data(), out.size()));
        keep(out.data(), ddc_execute(dc, sig.xc.data() + at, n, out.data(), ddc_execute_capacity(dc, n)));
        keep(out.data(), ddcr_execute(dr, sig.xr.data() + at, n, out.data(), ddcr_execute_capacity(n)));
        keep(out.data(), presamp_execute(ps, sig.xc.data() + at, n, out.data(), presamp_capacity(ps, n)));
        keep(out.data(), ddcr_execute(gr, sig.xr.data() + at, n, out.data(), ddcr_capacity(gr, n)));
        keep(out.data(), ddc_execute(gc, sig.xc.data() + at, n, out.data(), ddc_execute_capacity(gc, n)));
        at = cut;
    }
    resamp_destroy(rs);
    RateConverter_destroy(rc);
    ddc_destroy(dc);
    ddcr_destroy(dr);
    presamp_destroy(ps);
    ddcr_destroy(gr);
    ddc_destroy(gc);
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
    Signals sig;
    sig.xc.resize(kN);
    sig.xr.resize(kN);
    for (size_t i = 0; i < kN; ++i) {
        sig.xc[i] = cf32_t{std::cos(0.02f * i), std::sin(0.031f * i)};
        sig.xr[i] = std::cos(0.37f * i) + 0.25f * std::sin(0.011f * i);
    }
    std::vector<std::vector<unsigned char>> got(threads);
    std::barrier start(threads);
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
        pool.emplace_back([&, k] {
            start.arrive_and_wait();
            got[k] = _work(sig, k);
        });
    for (auto &t : pool)
        t.join();
    for (int k = 0; k < threads; ++k) {
        if (got[k] != _work(sig, k)) {
            std::printf("FAIL thread %d differs from its single-threaded run\n", k);
            return 1;
        }
    }
    std::printf("ok %d\n", threads);
    return 0;
}
