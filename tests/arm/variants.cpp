// Every vector kernel level against the scalar one, through the C interface,
// for every stage family: a native check for targets whose Python this
// machine cannot run (tests/arm/run.sh runs it under user-mode emulation; it
// runs natively as well). Each case streams the same input at the scalar
// level and at each vector level the CPU has and compares the outputs under
// the NaN rule of stages/simd.h (NaN where scalar gives NaN, every other
// float bit for bit). Cases: every short block length (odd tails), random
// block splits, one long block (window refills, ring rotations), starts off
// the vector alignment, capacity stops, special values, and the level
// switched between blocks. Prints "N passed, N failed".
#include "stages/cic.h"
#include "stages/fir.h"
#include "stages/hbdecim.h"
#include "stages/hbdecim_internal.h"
#include "stages/hbdecim_r2c.h"
#include "stages/hbdecim_r2c_internal.h"
#include "stages/lo.h"
#include "stages/nco.h"
#include "stages/presamp.h"
#include "stages/resamp.h"
#include "stages/simd.h"
#include "stages/xlate.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Rng {
    uint64_t s;
    uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    size_t below(size_t n) { return n ? static_cast<size_t>(next() % n) : 0; }
    float normal()
    {
        double u = 0;
        for (int k = 0; k < 12; ++k)
            u += uniform();
        return static_cast<float>(u - 6.0);
    }
};

// One stage of a family: samples in (floats_per_sample floats each), cf32 out.
struct Stage {
    std::function<size_t(const float *in, size_t n, float *out, size_t cap)> exec;
    std::function<void()> destroy;
};

struct Family {
    std::string name;
    size_t fps;        // floats per input sample
    double out_per_in; // upper bound of outputs per input
    bool has_cap;      // execute takes a room and may stop early
    std::function<Stage()> make;
};

struct Schedule {
    std::vector<size_t> blocks;
    std::vector<int> levels; // level per block, cycled
    size_t in_off = 0;       // floats in front of the input
    size_t out_off = 0;      // floats in front of the output
    bool short_room = false; // rooms below the need, the same for every level
};

constexpr float kSentinel = 12345.0f;

std::vector<float> run(const Family &f, const std::vector<float> &x, const Schedule &sc, bool &ok)
{
    Stage st = f.make();
    std::vector<float> out;
    Rng room{0x9E3779B97F4A7C15ull};
    size_t at = 0;
    for (size_t b = 0; b < sc.blocks.size(); ++b) {
        const size_t n = sc.blocks[b];
        ddc_simd_force(sc.levels[b % sc.levels.size()]);
        std::vector<float> in(sc.in_off + n * f.fps + 16);
        if (n)
            std::memcpy(in.data() + sc.in_off, x.data() + at * f.fps, n * f.fps * sizeof(float));
        const size_t need = static_cast<size_t>(std::ceil(static_cast<double>(n) * f.out_per_in)) + 8;
        size_t cap = need;
        if (sc.short_room && f.has_cap)
            cap = room.below(need);
        std::vector<float> o(sc.out_off + 2 * cap + 2, kSentinel);
        const size_t got = st.exec(in.data() + sc.in_off, n, o.data() + sc.out_off, cap);
        if (got > cap || o[sc.out_off + 2 * got] != kSentinel || o[sc.out_off + 2 * got + 1] != kSentinel)
            ok = false;
        out.insert(out.end(), o.begin() + static_cast<long>(sc.out_off),
                   o.begin() + static_cast<long>(sc.out_off + 2 * (got < cap ? got : cap)));
        at += n;
    }
    st.destroy();
    return out;
}

bool same(const std::vector<float> &got, const std::vector<float> &ref)
{
    if (got.size() != ref.size())
        return false;
    for (size_t k = 0; k < ref.size(); ++k) {
        if (std::isnan(ref[k])) {
            if (!std::isnan(got[k]))
                return false;
        } else if (std::memcmp(&got[k], &ref[k], sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

std::vector<float> signal(size_t floats, uint64_t seed, bool special)
{
    Rng r{seed};
    std::vector<float> x(floats);
    for (auto &v : x)
        v = 0.5f * r.normal();
    if (special) {
        const float values[] = {NAN, INFINITY, -INFINITY, -0.0f, 0.0f, 1e-40f, -3e-42f, 3e38f, -1e-45f};
        for (size_t k = 0; k < floats / 40; ++k)
            x[r.below(floats)] = values[r.below(sizeof values / sizeof values[0])];
    }
    return x;
}

std::vector<float> taps(size_t n, uint64_t seed)
{
    Rng r{seed};
    std::vector<float> t(n);
    for (auto &v : t)
        v = 0.1f * r.normal();
    return t;
}

template <class H> Stage stage(H *h, void (*destroy)(H *), std::function<size_t(H *, const float *, size_t, float *, size_t)> fn)
{
    return {[h, fn](const float *in, size_t n, float *out, size_t cap) { return fn(h, in, n, out, cap); },
            [h, destroy] { destroy(h); }};
}

// A stage of two handles, such as a decimator and the oscillator it mixes with.
template <class A, class B>
Stage both(A *a, void (*destroy_a)(A *), B *b, void (*destroy_b)(B *),
           std::function<size_t(A *, B *, const float *, size_t, float *, size_t)> fn)
{
    return {[a, b, fn](const float *in, size_t n, float *out, size_t cap) { return fn(a, b, in, n, out, cap); },
            [a, destroy_a, b, destroy_b] {
                destroy_a(a);
                destroy_b(b);
            }};
}

const cf32_t *C(const float *p) { return reinterpret_cast<const cf32_t *>(p); }
cf32_t *C(float *p) { return reinterpret_cast<cf32_t *>(p); }

std::vector<Family> families()
{
    std::vector<Family> fs;
    for (size_t n : {3u, 7u, 8u, 19u, 20u, 35u, 47u, 64u, 255u, 301u}) {
        const auto co = std::make_shared<std::vector<float>>(taps(n / 2, 100 + n));
        fs.push_back({"hbdecim_r2c/" + std::to_string(n), 1, 0.5, true, [n, co] {
                          return stage<hbdecim_r2c_state_t>(hbdecim_r2c_create(n, co->data()), hbdecim_r2c_destroy,
                                                            [](hbdecim_r2c_state_t *h, const float *in, size_t k, float *out,
                                                               size_t cap) { return hbdecim_r2c_execute(h, in, k, C(out), cap); });
                      }});
        // The exact front end's decimator with the oscillator mixed in its kernel.
        fs.push_back({"hbdecim_r2c_lo/" + std::to_string(n), 1, 0.5, true, [n, co] {
                          return both<hbdecim_r2c_state_t, lo_state_t>(
                              hbdecim_r2c_create(n, co->data()), hbdecim_r2c_destroy, lo_create(-0.3123), lo_destroy,
                              [](hbdecim_r2c_state_t *h, lo_state_t *lo, const float *in, size_t k, float *out,
                                 size_t cap) { return hbdecim_r2c_execute_lo(h, in, k, C(out), cap, lo); });
                      }});
        // The complex decimator with the fine oscillator mixed in its de-interleave.
        fs.push_back({"hbdecim_nco/" + std::to_string(n), 2, 0.5, true, [n, co] {
                          return both<hbdecim_state_t, nco_state_t>(
                              hbdecim_create(n, co->data()), hbdecim_destroy, nco_create(-0.3123), nco_destroy,
                              [](hbdecim_state_t *h, nco_state_t *nco, const float *in, size_t k, float *out,
                                 size_t cap) { return hbdecim_execute_nco(h, C(in), k, C(out), cap, nco); });
                      }});
        fs.push_back({"hbdecim/" + std::to_string(n), 2, 0.5, true, [n, co] {
                          return stage<hbdecim_state_t>(hbdecim_create(n, co->data()), hbdecim_destroy,
                                                        [](hbdecim_state_t *h, const float *in, size_t k, float *out,
                                                           size_t cap) { return hbdecim_execute(h, C(in), k, C(out), cap); });
                      }});
    }
    for (double fr : {0.1234567, -0.3, 0.0}) {
        fs.push_back({"nco_mix/" + std::to_string(fr), 2, 1, false, [fr] {
                          return stage<nco_state_t>(nco_create(fr), nco_destroy,
                                                    [](nco_state_t *h, const float *in, size_t k, float *out, size_t) {
                                                        return nco_mix(h, C(in), k, C(out));
                                                    });
                      }});
        fs.push_back({"nco_steps/" + std::to_string(fr), 2, 1, false, [fr] {
                          return stage<nco_state_t>(nco_create(fr), nco_destroy,
                                                    [](nco_state_t *h, const float *, size_t k, float *out, size_t) {
                                                        return nco_steps(h, k, C(out));
                                                    });
                      }});
        fs.push_back({"lo_mix/" + std::to_string(fr), 2, 1, false, [fr] {
                          return stage<lo_state_t>(lo_create(fr), lo_destroy,
                                                   [](lo_state_t *h, const float *in, size_t k, float *out, size_t) {
                                                       return lo_mix(h, C(in), k, C(out));
                                                   });
                      }});
    }
    for (uint32_t r : {2u, 5u, 8u, 16u, 64u, 1000u}) {
        fs.push_back({"cic/" + std::to_string(r), 2, 1.0 / r, true, [r] {
                          return stage<cic_state_t>(cic_create(r), cic_destroy,
                                                    [](cic_state_t *h, const float *in, size_t k, float *out, size_t cap) {
                                                        return cic_execute(h, C(in), k, C(out), cap);
                                                    });
                      }});
    }
    for (size_t n : {1u, 3u, 8u, 16u, 17u, 33u, 63u}) {
        const auto t = std::make_shared<std::vector<float>>(taps(2 * n, 300 + n));
        fs.push_back({"fir_real/" + std::to_string(n), 2, 1, false, [n, t] {
                          return stage<fir_state_t>(fir_create_real(t->data(), n), fir_destroy,
                                                    [](fir_state_t *h, const float *in, size_t k, float *out, size_t) {
                                                        return fir_execute(h, C(in), k, C(out));
                                                    });
                      }});
        fs.push_back({"fir_complex/" + std::to_string(n), 2, 1, false, [n, t] {
                          return stage<fir_state_t>(fir_create(C(t->data()), n), fir_destroy,
                                                    [](fir_state_t *h, const float *in, size_t k, float *out, size_t) {
                                                        return fir_execute(h, C(in), k, C(out));
                                                    });
                      }});
    }
    for (double rate : {0.3, 0.77, 1.0 / 3.0, 1.9, 3.3}) {
        fs.push_back({"resamp/" + std::to_string(rate), 2, rate, true, [rate] {
                          return stage<resamp_state_t>(resamp_create(rate), resamp_destroy,
                                                       [](resamp_state_t *h, const float *in, size_t k, float *out, size_t cap) {
                                                           return resamp_execute(h, C(in), k, C(out), cap);
                                                       });
                      }});
    }
    // A caller's bank of 32 phases: 7 taps (no body), 32 (the most decimating
    // taps in registers), 40 (a long body, a tail past 16; scalar decimating).
    for (size_t T : {7u, 32u, 40u}) {
        const auto bank = std::make_shared<std::vector<float>>(taps(32 * T, 77 + T));
        for (double rate : {0.45, 2.5})
            fs.push_back({"resamp_custom/" + std::to_string(T) + "/" + std::to_string(rate), 2, rate, true, [T, rate, bank] {
                              return stage<resamp_state_t>(resamp_create_custom(32, T, bank->data(), rate), resamp_destroy,
                                                           [](resamp_state_t *h, const float *in, size_t k, float *out,
                                                              size_t cap) { return resamp_execute(h, C(in), k, C(out), cap); });
                          }});
    }
    for (auto ra : {std::pair{0.31, 60.0}, std::pair{0.8, 100.0}, std::pair{1.7, 80.0}, std::pair{3.3, 120.0}}) {
        fs.push_back({"presamp/" + std::to_string(ra.first), 2, ra.first, true, [ra] {
                          return stage<presamp_state_t>(presamp_create(ra.first, ra.second), presamp_destroy,
                                                        [](presamp_state_t *h, const float *in, size_t k, float *out,
                                                           size_t cap) { return presamp_execute(h, C(in), k, C(out), cap); });
                      }});
    }
    // Rows of one, three and nine periods; taps fewer and more than a lane group.
    for (auto ud : {std::array<uint32_t, 3>{1, 3, 60}, std::array<uint32_t, 3>{3, 10, 80}, std::array<uint32_t, 3>{9, 20, 120}}) {
        fs.push_back({"xlate/" + std::to_string(ud[0]) + "/" + std::to_string(ud[1]), 1, double(ud[0]) / ud[1], true, [ud] {
                          return stage<xlate_state_t>(xlate_create(-0.21, ud[0], ud[1], ud[2]), xlate_destroy,
                                                      [](xlate_state_t *h, const float *in, size_t k, float *out,
                                                         size_t cap) { return xlate_execute(h, in, k, C(out), cap); });
                      }});
    }
    return fs;
}

} // namespace

int main()
{
    std::vector<int> vector_levels;
    for (int level : {DDC_SIMD_AVX2, DDC_SIMD_AVX512, DDC_SIMD_NEON})
        if (ddc_simd_force(level) == level)
            vector_levels.push_back(level);
    ddc_simd_force(DDC_SIMD_SCALAR);
    std::printf("vector levels:");
    for (int l : vector_levels)
        std::printf(" %d", l);
    std::printf("%s\n", vector_levels.empty() ? " none" : "");

    // Every length 0 .. 40 (odd tails of every register width), then random
    // splits, then a long block.
    std::vector<size_t> tails;
    for (size_t n = 0; n <= 40; ++n)
        tails.push_back(n);
    Rng r{42};
    std::vector<size_t> splits;
    for (int k = 0; k < 30; ++k)
        splits.push_back(r.below(300));
    splits.push_back(3000);

    int passed = 0, failed = 0;
    for (const Family &f : families()) {
        for (bool special : {false, true}) {
            for (const auto *plan : {&tails, &splits}) {
                size_t total = 0;
                for (size_t n : *plan)
                    total += n;
                const std::vector<float> x = signal(total * f.fps, 7 + total + special, special);
                Schedule ref_sc{*plan, {DDC_SIMD_SCALAR}};
                bool ok = true;
                const std::vector<float> ref = run(f, x, ref_sc, ok);
                Schedule whole{{total}, {DDC_SIMD_SCALAR}};
                // Block splits change nothing when the room suffices.
                ok = ok && same(run(f, x, whole, ok), ref);
                std::vector<Schedule> cases;
                for (int level : vector_levels) {
                    cases.push_back({*plan, {level}});
                    cases.push_back({*plan, {level}, 1, 1});
                    cases.push_back({{total}, {level}, 0, 0});
                }
                if (!vector_levels.empty()) {
                    std::vector<int> mixed{DDC_SIMD_SCALAR};
                    mixed.insert(mixed.end(), vector_levels.begin(), vector_levels.end());
                    cases.push_back({*plan, mixed, 1, 0});
                }
                for (const Schedule &sc : cases)
                    ok = ok && same(run(f, x, sc, ok), ref);
                if (f.has_cap) { // capacity stops: scalar and each level with the same rooms
                    Schedule shortref{*plan, {DDC_SIMD_SCALAR}, 0, 0, true};
                    const std::vector<float> sref = run(f, x, shortref, ok);
                    for (int level : vector_levels) {
                        Schedule s{*plan, {level}, 1, 1, true};
                        ok = ok && same(run(f, x, s, ok), sref);
                    }
                }
                const char *what = plan == &tails ? "tails" : "splits";
                if (ok) {
                    ++passed;
                } else {
                    ++failed;
                    std::printf("FAILED %s %s%s\n", f.name.c_str(), what, special ? " special" : "");
                }
            }
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
