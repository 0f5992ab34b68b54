/*
 * Library-internal: how a stage finds its vector kernels (not exported).
 *
 * Each family declares a struct of its kernel entry points F and, with
 * DDC_KERNEL_TABLES(F), one constant table per instruction set, F_avx2,
 * F_avx512 and F_neon, each defined by that family's source for the
 * instruction set (stages/<family>_<isa>.cpp). F_for(level) is the table for a
 * level, null for scalar or for an instruction set this build left out
 * (CMakeLists.txt defines DDC_HAVE_<ISA> for the ones it compiles). A family
 * with nothing to gain from an instruction set still defines its table there,
 * naming a lower set's kernels; one not yet ported to an instruction set
 * defines an empty table there ({}), and F_for gives null for it.
 */
#ifndef DDC_STAGES_SIMD_KERNELS_H
#define DDC_STAGES_SIMD_KERNELS_H

#include "simd.h"

#include <cstring>

#if defined(DDC_HAVE_AVX2)
#define DDC_IF_AVX2(x) (x)
#else
#define DDC_IF_AVX2(x) nullptr
#endif
#if defined(DDC_HAVE_AVX512)
#define DDC_IF_AVX512(x) (x)
#else
#define DDC_IF_AVX512(x) nullptr
#endif
#if defined(DDC_HAVE_NEON)
#define DDC_IF_NEON(x) (x)
#else
#define DDC_IF_NEON(x) nullptr
#endif

// Whether this build has any vector kernels at all.
#if defined(DDC_HAVE_AVX2) || defined(DDC_HAVE_AVX512) || defined(DDC_HAVE_NEON)
#define DDC_HAVE_SIMD 1
#endif

template <class F>
inline const F *ddc_kernel_table(int level, const F *avx2, const F *avx512, const F *neon) noexcept
{
    const F *t = nullptr;
    switch (level) {
    case DDC_SIMD_AVX2: t = avx2; break;
    case DDC_SIMD_AVX512: t = avx512; break;
    case DDC_SIMD_NEON: t = neon; break;
    default: break;
    }
    static constexpr F empty{};
    return t && std::memcmp(t, &empty, sizeof(F)) != 0 ? t : nullptr;
}

#define DDC_KERNEL_TABLES(F)                                                                        \
    extern const F F##_avx2;                                                                        \
    extern const F F##_avx512;                                                                      \
    extern const F F##_neon;                                                                        \
    inline const F *F##_for(int level) noexcept                                                     \
    {                                                                                               \
        return ddc_kernel_table<F>(level, DDC_IF_AVX2(&F##_avx2), DDC_IF_AVX512(&F##_avx512),       \
                                   DDC_IF_NEON(&F##_neon));                                         \
    }

#endif
