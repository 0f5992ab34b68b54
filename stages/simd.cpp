// Run-time kernel selection: probe the CPU once, let tests force another level.
#include "simd.h"

#include <atomic>

namespace {

int probe()
{
#if defined(__x86_64__) && defined(DDC_HAVE_AVX2)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
#if defined(DDC_HAVE_AVX512)
    if (avx512)
        return DDC_SIMD_AVX512;
#endif
    if (avx2)
        return DDC_SIMD_AVX2;
#elif defined(__aarch64__) && defined(DDC_HAVE_NEON)
    return DDC_SIMD_NEON; // baseline on AArch64
#endif
    return DDC_SIMD_SCALAR;
}

int supported_level()
{
    static const int level = probe();
    return level;
}

// The levels below the supported one that the CPU has as well.
bool available(int level)
{
    const int top = supported_level();
    if (level == DDC_SIMD_SCALAR || level == top)
        return true;
    return top == DDC_SIMD_AVX512 && level == DDC_SIMD_AVX2;
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
    if (!available(level))
        return -1;
    g_forced.store(level, std::memory_order_relaxed);
    return level;
}
