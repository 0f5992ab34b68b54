/*
 * What one core can do at most, measured on the core a benchmark runs on:
 * streaming read and write bandwidth over buffers of the benchmark's own
 * sizes and fused multiply-add throughput at a kernel level. bench/run.py
 * divides each throughput by the limit these give for its plan.
 */
#ifndef DDC_BENCH_MACHINE_PROBE_H
#define DDC_BENCH_MACHINE_PROBE_H

#include <stddef.h>

/* Kernel levels of the probe, numbered as the library's (stages/simd.h). */
enum { PROBE_SCALAR = 0, PROBE_AVX2 = 1, PROBE_AVX512 = 2, PROBE_NEON = 3 };

/* 1 when the probe has a kernel for the level on this build (the CPU must have it too). */
int probe_has_level(int level);

/* Vectorised sum over x[0..n): every byte read once. Returns the sum (to keep the loads). */
float probe_read(int level, const float *x, size_t n);
/* Stores n floats of value v into y. */
void probe_write(int level, float *y, size_t n, float v);
/* iters rounds of independent multiply-add chains; *fmas gets the lane operations done.
   Returns a value built from every chain (to keep them). */
float probe_fma(int level, size_t iters, double *fmas);

#endif
