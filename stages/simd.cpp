// Run-time kernel selection: probe the CPU once, let tests force a lower level.
#include "simd.h"

#include <atomic>

namespace {

int probe()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    if (avx512)
        return DDC_SIMD_AVX512;
    if (avx2)
        return DDC_SIMD_AVX2;
#endif
    return DDC_SIMD_SCALAR;
}

int supported_level()
{
    static const int level = probe();
    return level;
}

std::atomic<int> g_forced{-1}; // -1: not forced

} // namespace

extern "C" int ddc_simd_supported(void) { return supported_level(); }

extern "C" int ddc_simd_level(void)
{
    const int f = g_forced.load(std::memory_order_relaxed);
    return f >= 0 ? f : supported_level();
}

extern "C" int ddc_simd_force(int level)
{
    if (level < DDC_SIMD_SCALAR || level > DDC_SIMD_AVX512 || level > supported_level())
        return -1;
    g_forced.store(level, std::memory_order_relaxed);
    return level;
}
