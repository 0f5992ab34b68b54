// Runs one resampler case (or the translating decimator's, a CIC's or a
// designed DDCR's) for n inputs at one kernel level, for counting the
// instructions it executes under qemu-aarch64 (tests/arm/count.sh); the
// difference of two lengths leaves the work per input.
// Usage: count <case> <level> <n>
#include "ddc/ddcr.h"
#include "stages/cic.h"
#include "stages/presamp.h"
#include "stages/resamp.h"
#include "stages/simd.h"
#include "stages/xlate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) return 2;
    const char *name = argv[1];
    const int level = std::atoi(argv[2]);
    const size_t n = std::strtoul(argv[3], nullptr, 10);
    if (ddc_simd_force(level) != level) return 3;
    std::vector<cf32_t> x(n), y(4 * n + 16);
    unsigned s = 1;
    for (auto &v : x) {
        s = s * 1664525u + 1013904223u;
        v.re = static_cast<float>(s >> 8) * 0x1p-24f - 0.5f;
        v.im = static_cast<float>(s >> 9) * 0x1p-23f - 0.5f;
    }
    std::vector<float> bank(32 * 40);
    for (size_t k = 0; k < bank.size(); ++k) bank[k] = static_cast<float>(k % 7) * 0.01f;
    const size_t block = 1024;
    size_t got = 0;
    std::vector<float> xr(n);  // real input: the re parts of x
    for (size_t k = 0; k < n; ++k) xr[k] = x[k].re;
    auto feed = [&](auto exec, auto *h, const auto *in) {
        for (size_t at = 0; at < n; at += block) {
            const size_t m = n - at < block ? n - at : block;
            got += exec(h, in + at, m, y.data(), y.size());
        }
    };
    if (!std::strcmp(name, "xlate_0.3")) {
        xlate_state_t *h = xlate_create(-0.2, 3, 10, 80.0);
        if (!h) return 4;
        feed(xlate_execute, h, xr.data());
        xlate_destroy(h);
    } else if (!std::strncmp(name, "ddcr80_", 7)) {  // a designed real-input plan at the rate that follows
        ddcr_state_t *h = ddcr_create_designed(0.2, std::atof(name + 7), 80.0);
        if (!h) return 4;
        feed(ddcr_execute, h, xr.data());
        ddcr_destroy(h);
    } else if (!std::strncmp(name, "cic_", 4)) {
        cic_state_t *h = cic_create(static_cast<uint32_t>(std::atoi(name + 4)));
        if (!h) return 4;
        feed(cic_execute, h, x.data());
        cic_destroy(h);
    } else if (!std::strncmp(name, "resamp", 6)) {
        resamp_state_t *h = nullptr;
        if (!std::strcmp(name, "resamp_decim19")) h = resamp_create(0.3);
        if (!std::strcmp(name, "resamp_interp19")) h = resamp_create(1.9);
        if (!std::strcmp(name, "resamp_decim32")) h = resamp_create_custom(32, 32, bank.data(), 0.45);
        if (!std::strcmp(name, "resamp_interp40")) h = resamp_create_custom(32, 40, bank.data(), 2.5);
        if (!h) return 4;
        feed(resamp_execute, h, x.data());
        resamp_destroy(h);
    } else {
        presamp_state_t *h = nullptr;
        if (!std::strcmp(name, "presamp_0.8")) h = presamp_create(0.8, 100.0);
        if (!std::strcmp(name, "presamp_1.7")) h = presamp_create(1.7, 80.0);
        if (!std::strcmp(name, "presamp_0.31")) h = presamp_create(0.31, 60.0);
        if (!h) return 4;
        feed(presamp_execute, h, x.data());
        presamp_destroy(h);
    }
    std::printf("%zu\n", got);
    return 0;
}
