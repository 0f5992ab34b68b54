/*
 * Kernels of the machine-limit probe (see machine_probe.h). Each level's
 * kernels are compiled for that target alone, so the probe runs the same
 * instruction set the library picks, in a program built without target flags.
 *
 * Read: a sum into 8 independent vector accumulators, so the adds never wait
 * on each other and the loads set the pace. Write: plain (not streaming)
 * stores, as the library's kernels make. Multiply-add: a = a*m + c in more
 * independent chains than latency times issue width of any current core
 * (16 on 32-register targets, 12 on AVX2's 16 registers); with m < 1 the
 * values settle near c/(1-m), far from overflow and denormals.
 */
#include "machine_probe.h"

#include <math.h>

#if defined(__x86_64__) || defined(__i386__)
#define PROBE_X86 1
#include <immintrin.h>
#elif defined(__aarch64__)
#define PROBE_A64 1
#include <arm_neon.h>
#endif

#define CH8(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7)
#define CH12(X) CH8(X) X(8) X(9) X(10) X(11)
#define CH16(X) CH12(X) X(12) X(13) X(14) X(15)

/* Read at run time, so no compiler can evaluate the chains ahead. */
static volatile float fma_m = 0.9999999f, fma_c = 1e-7f;

/* --- scalar ----------------------------------------------------------------- */

__attribute__((noinline)) static float read_scalar(const float *x, size_t n)
{
#define SD(k) float s##k = 0.0f;
    CH8(SD)
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
#define SA(k) s##k += x[i + k];
        CH8(SA)
    }
    float t = ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
    for (; i < n; i++)
        t += x[i];
    return t;
}

__attribute__((noinline)) static void write_scalar(float *y, size_t n, float v)
{
    for (size_t i = 0; i < n; i++)
        y[i] = v;
}

/* fmaf as the library's scalar kernels call it. */
__attribute__((noinline)) static float fma_scalar(size_t iters)
{
    const float m = fma_m, c = fma_c;
#define FD(k) float a##k = 1.0f + 0.001f * (float)(k);
    CH8(FD)
    for (size_t i = 0; i < iters; i++) {
#define FS(k) a##k = fmaf(a##k, m, c);
        CH8(FS)
    }
    return ((a0 + a1) + (a2 + a3)) + ((a4 + a5) + (a6 + a7));
}

/* --- AVX2 and AVX-512 ---------------------------------------------------------- */
#ifdef PROBE_X86

__attribute__((noinline, target("avx2,fma"))) static float read_avx2(const float *x, size_t n)
{
#define VD2(k) __m256 s##k = _mm256_setzero_ps();
    CH8(VD2)
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
#define VA2(k) s##k = _mm256_add_ps(s##k, _mm256_loadu_ps(x + i + 8 * k));
        CH8(VA2)
    }
    __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)),
                             _mm256_add_ps(_mm256_add_ps(s4, s5), _mm256_add_ps(s6, s7)));
    float lane[8];
    _mm256_storeu_ps(lane, s);
    float t = 0.0f;
    for (int k = 0; k < 8; k++)
        t += lane[k];
    for (; i < n; i++)
        t += x[i];
    return t;
}

__attribute__((noinline, target("avx2,fma"))) static void write_avx2(float *y, size_t n, float v)
{
    const __m256 a = _mm256_set1_ps(v);
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        _mm256_storeu_ps(y + i, a);
        _mm256_storeu_ps(y + i + 8, a);
        _mm256_storeu_ps(y + i + 16, a);
        _mm256_storeu_ps(y + i + 24, a);
    }
    for (; i < n; i++)
        y[i] = v;
}

__attribute__((noinline, target("avx2,fma"))) static float fma_avx2(size_t iters)
{
    const __m256 m = _mm256_set1_ps(fma_m), c = _mm256_set1_ps(fma_c);
#define AD2(k) __m256 a##k = _mm256_set1_ps(1.0f + 0.001f * (float)(k));
    CH12(AD2)
    for (size_t i = 0; i < iters; i++) {
#define AS2(k) a##k = _mm256_fmadd_ps(a##k, m, c);
        CH12(AS2)
    }
    __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                             _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
    s = _mm256_add_ps(s, _mm256_add_ps(_mm256_add_ps(a8, a9), _mm256_add_ps(a10, a11)));
    float lane[8];
    _mm256_storeu_ps(lane, s);
    return lane[0] + lane[7];
}

__attribute__((noinline, target("avx512f"))) static float read_avx512(const float *x, size_t n)
{
#define VD5(k) __m512 s##k = _mm512_setzero_ps();
    CH8(VD5)
    size_t i = 0;
    for (; i + 128 <= n; i += 128) {
#define VA5(k) s##k = _mm512_add_ps(s##k, _mm512_loadu_ps(x + i + 16 * k));
        CH8(VA5)
    }
    __m512 s = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(s0, s1), _mm512_add_ps(s2, s3)),
                             _mm512_add_ps(_mm512_add_ps(s4, s5), _mm512_add_ps(s6, s7)));
    float t = _mm512_reduce_add_ps(s);
    for (; i < n; i++)
        t += x[i];
    return t;
}

__attribute__((noinline, target("avx512f"))) static void write_avx512(float *y, size_t n, float v)
{
    const __m512 a = _mm512_set1_ps(v);
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        _mm512_storeu_ps(y + i, a);
        _mm512_storeu_ps(y + i + 16, a);
        _mm512_storeu_ps(y + i + 32, a);
        _mm512_storeu_ps(y + i + 48, a);
    }
    for (; i < n; i++)
        y[i] = v;
}

__attribute__((noinline, target("avx512f"))) static float fma_avx512(size_t iters)
{
    const __m512 m = _mm512_set1_ps(fma_m), c = _mm512_set1_ps(fma_c);
#define AD5(k) __m512 a##k = _mm512_set1_ps(1.0f + 0.001f * (float)(k));
    CH16(AD5)
    for (size_t i = 0; i < iters; i++) {
#define AS5(k) a##k = _mm512_fmadd_ps(a##k, m, c);
        CH16(AS5)
    }
    __m512 s = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)),
                             _mm512_add_ps(_mm512_add_ps(a4, a5), _mm512_add_ps(a6, a7)));
    s = _mm512_add_ps(s, _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a8, a9), _mm512_add_ps(a10, a11)),
                                       _mm512_add_ps(_mm512_add_ps(a12, a13), _mm512_add_ps(a14, a15))));
    return _mm512_reduce_add_ps(s);
}

#endif /* PROBE_X86 */

/* --- NEON -------------------------------------------------------------------------- */
#ifdef PROBE_A64

__attribute__((noinline)) static float read_neon(const float *x, size_t n)
{
#define ND(k) float32x4_t s##k = vdupq_n_f32(0.0f);
    CH8(ND)
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
#define NA(k) s##k = vaddq_f32(s##k, vld1q_f32(x + i + 4 * k));
        CH8(NA)
    }
    float32x4_t s = vaddq_f32(vaddq_f32(vaddq_f32(s0, s1), vaddq_f32(s2, s3)),
                              vaddq_f32(vaddq_f32(s4, s5), vaddq_f32(s6, s7)));
    float t = vaddvq_f32(s);
    for (; i < n; i++)
        t += x[i];
    return t;
}

__attribute__((noinline)) static void write_neon(float *y, size_t n, float v)
{
    const float32x4_t a = vdupq_n_f32(v);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        vst1q_f32(y + i, a);
        vst1q_f32(y + i + 4, a);
        vst1q_f32(y + i + 8, a);
        vst1q_f32(y + i + 12, a);
    }
    for (; i < n; i++)
        y[i] = v;
}

__attribute__((noinline)) static float fma_neon(size_t iters)
{
    const float32x4_t m = vdupq_n_f32(fma_m), c = vdupq_n_f32(fma_c);
#define NFD(k) float32x4_t a##k = vdupq_n_f32(1.0f + 0.001f * (float)(k));
    CH16(NFD)
    for (size_t i = 0; i < iters; i++) {
#define NFS(k) a##k = vfmaq_f32(c, a##k, m);
        CH16(NFS)
    }
    float32x4_t s = vaddq_f32(vaddq_f32(vaddq_f32(a0, a1), vaddq_f32(a2, a3)),
                              vaddq_f32(vaddq_f32(a4, a5), vaddq_f32(a6, a7)));
    s = vaddq_f32(s, vaddq_f32(vaddq_f32(vaddq_f32(a8, a9), vaddq_f32(a10, a11)),
                               vaddq_f32(vaddq_f32(a12, a13), vaddq_f32(a14, a15))));
    return vaddvq_f32(s);
}

#endif /* PROBE_A64 */

/* --- dispatch ----------------------------------------------------------------------- */

int probe_has_level(int level)
{
    switch (level) {
    case PROBE_SCALAR: return 1;
#ifdef PROBE_X86
    case PROBE_AVX2:
    case PROBE_AVX512: return 1;
#endif
#ifdef PROBE_A64
    case PROBE_NEON: return 1;
#endif
    default: return 0;
    }
}

float probe_read(int level, const float *x, size_t n)
{
    switch (level) {
#ifdef PROBE_X86
    case PROBE_AVX2: return read_avx2(x, n);
    case PROBE_AVX512: return read_avx512(x, n);
#endif
#ifdef PROBE_A64
    case PROBE_NEON: return read_neon(x, n);
#endif
    default: return read_scalar(x, n);
    }
}

void probe_write(int level, float *y, size_t n, float v)
{
    switch (level) {
#ifdef PROBE_X86
    case PROBE_AVX2: write_avx2(y, n, v); return;
    case PROBE_AVX512: write_avx512(y, n, v); return;
#endif
#ifdef PROBE_A64
    case PROBE_NEON: write_neon(y, n, v); return;
#endif
    default: write_scalar(y, n, v);
    }
}

float probe_fma(int level, size_t iters, double *fmas)
{
    switch (level) {
#ifdef PROBE_X86
    case PROBE_AVX2: *fmas = (double)iters * 12 * 8; return fma_avx2(iters);
    case PROBE_AVX512: *fmas = (double)iters * 16 * 16; return fma_avx512(iters);
#endif
#ifdef PROBE_A64
    case PROBE_NEON: *fmas = (double)iters * 16 * 4; return fma_neon(iters);
#endif
    default: *fmas = (double)iters * 8; return fma_scalar(iters);
    }
}
