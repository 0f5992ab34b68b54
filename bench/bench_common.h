/*
 * Shared plumbing of the two C benchmark programs (ddc_bench, liquid_peer):
 * command-line options, the test signal, wall-clock timing, medians and the
 * one-line JSON records that bench/run.py reads.
 *
 * Both programs see the same signal: a carrier at CARRIER cycles per input
 * sample plus weak uniform noise, so every down-converter can be checked to
 * bring the carrier to 0 Hz (the "dc_purity" figure: |mean(y)|^2 / mean(|y|^2)
 * over the last output block, near 1 when it did).
 */
#ifndef DDC_BENCH_COMMON_H
#define DDC_BENCH_COMMON_H

#define _GNU_SOURCE 1
#include <complex.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

/* The carrier in cycles per input sample ("--carrier F", default 0.2). At 0.2 the exact
   DDCR's oscillator (a 512 KiB table) reads the same few entries every five samples; other
   carriers sweep its table. */
static double bench_carrier = 0.2;
#define CARRIER bench_carrier
#define NOISE_LEVEL 0.01 /* peak of the uniform noise */

typedef struct bench_opts {
    size_t samples; /* input samples per pass */
    size_t block;   /* input samples per execute call */
    int passes;     /* timed passes; the median is reported */
    int simd;       /* kernel level to force, -1 for the library's choice */
    double atten;   /* stop-band attenuation of a designed plan in dB, NAN for the exact plan */
} bench_opts_t;

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

/* CPU time of the calling thread: unlike the wall clock it does not count time
   the core spent on other processes, so the two together show contention. */
static double cpu_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

static int cmp_double(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(const double *v, int n)
{
    double *t = (double *)malloc((size_t)n * sizeof *t);
    if (!t)
        return NAN;
    memcpy(t, v, (size_t)n * sizeof *t);
    qsort(t, (size_t)n, sizeof *t, cmp_double);
    double m = (n % 2) ? t[n / 2] : 0.5 * (t[n / 2 - 1] + t[n / 2]);
    free(t);
    return m;
}

/* xorshift64*: fast, reproducible noise; the values do not matter, only that
   they are ordinary (no denormals, no silence). */
static uint64_t rng_state = 0x9E3779B97F4A7C15ull;
static float noise(void)
{
    rng_state ^= rng_state >> 12;
    rng_state ^= rng_state << 25;
    rng_state ^= rng_state >> 27;
    uint64_t r = rng_state * 0x2545F4914F6CDD1Dull;
    return (float)((double)(r >> 11) * (1.0 / 9007199254740992.0) * 2.0 - 1.0);
}

/* Input buffers ask for transparent huge pages, as NumPy does for its arrays
   of 4 MiB and more, so the C cases stream from the same kind of memory as
   the Python ones (GNU Radio's and SciPy's inputs are NumPy arrays);
   "--pages small" keeps 4 KiB pages. bench_huge_kib is the process's memory on
   huge pages once the input is written (AnonHugePages of smaps_rollup). */
static int bench_small_pages = 0;
static long bench_huge_kib = -1;

static void *bench_alloc(size_t bytes)
{
    void *p = malloc(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (p && !bench_small_pages && bytes >= ((size_t)4 << 20)) {
        const uintptr_t page = 4096, a = ((uintptr_t)p + page - 1) & ~(page - 1);
        const uintptr_t e = ((uintptr_t)p + bytes) & ~(page - 1);
        if (e > a)
            madvise((void *)a, e - a, MADV_HUGEPAGE); /* a hint: 4 KiB pages if refused */
    }
#endif
    return p;
}

static void note_huge_pages(void)
{
    FILE *f = fopen("/proc/self/smaps_rollup", "r");
    char line[256];
    long kib;
    if (!f)
        return;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "AnonHugePages: %ld kB", &kib) == 1)
            bench_huge_kib = kib;
    fclose(f);
}

/* Real test signal; the phase is reduced in double so it stays exact over 2^24+ samples. */
static float *make_real(size_t n)
{
    float *x = (float *)bench_alloc(n * sizeof *x);
    if (!x)
        return NULL;
    for (size_t i = 0; i < n; i++) {
        double ph = fmod(CARRIER * (double)i, 1.0);
        x[i] = (float)(cos(2.0 * M_PI * ph) + NOISE_LEVEL * noise());
    }
    note_huge_pages();
    return x;
}

/* Complex test signal (interleaved re, im): exp(+j 2 pi CARRIER n) plus noise. */
static float *make_complex(size_t n)
{
    float *x = (float *)bench_alloc(2 * n * sizeof *x);
    if (!x)
        return NULL;
    for (size_t i = 0; i < n; i++) {
        double ph = fmod(CARRIER * (double)i, 1.0);
        x[2 * i] = (float)(cos(2.0 * M_PI * ph) + NOISE_LEVEL * noise());
        x[2 * i + 1] = (float)(sin(2.0 * M_PI * ph) + NOISE_LEVEL * noise());
    }
    note_huge_pages();
    return x;
}

/* |mean|^2 / mean |y|^2 over n interleaved complex samples (NaN for n = 0). */
static double dc_purity(const float *y, size_t n)
{
    if (n == 0)
        return NAN;
    double sr = 0, si = 0, p = 0;
    for (size_t i = 0; i < n; i++) {
        sr += y[2 * i];
        si += y[2 * i + 1];
        p += (double)y[2 * i] * y[2 * i] + (double)y[2 * i + 1] * y[2 * i + 1];
    }
    sr /= (double)n;
    si /= (double)n;
    p /= (double)n;
    return p > 0 ? (sr * sr + si * si) / p : NAN;
}

/* Parses "--samples N --block N --passes N --simd L --atten DB --pages huge|small --carrier F"
   from argv[first..]; returns 0 on a bad option. */
static int parse_opts(int argc, char **argv, int first, bench_opts_t *o)
{
    o->samples = (size_t)1 << 24;
    o->block = (size_t)1 << 16;
    o->passes = 5;
    o->simd = -1;
    o->atten = NAN;
    for (int i = first; i < argc; i++) {
        if (i + 1 >= argc)
            return 0;
        if (!strcmp(argv[i], "--samples"))
            o->samples = (size_t)strtoull(argv[++i], NULL, 0);
        else if (!strcmp(argv[i], "--block"))
            o->block = (size_t)strtoull(argv[++i], NULL, 0);
        else if (!strcmp(argv[i], "--passes"))
            o->passes = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--simd"))
            o->simd = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--atten"))
            o->atten = strtod(argv[++i], NULL);
        else if (!strcmp(argv[i], "--pages") && (!strcmp(argv[i + 1], "huge") || !strcmp(argv[i + 1], "small")))
            bench_small_pages = !strcmp(argv[++i], "small");
        else if (!strcmp(argv[i], "--carrier"))
            bench_carrier = strtod(argv[++i], NULL);
        else
            return 0;
    }
    if (o->block == 0 || o->samples < o->block || o->passes < 1 || o->passes > 1000 ||
        !(fabs(bench_carrier) < 0.5))
        return 0;
    o->samples -= o->samples % o->block; /* whole blocks only */
    return 1;
}

/* Prints the shared part of a throughput record (no closing brace). */
static void print_times(const char *impl, const char *kind, double rate, const bench_opts_t *o,
                        const double *pass_s, const double *pass_cpu_s, double unit_per_pass)
{
    double med = median(pass_s, o->passes), med_cpu = median(pass_cpu_s, o->passes);
    printf("{\"impl\": \"%s\", \"kind\": \"%s\", \"rate\": %.17g, \"samples\": %zu, \"block\": %zu, "
           "\"passes\": %d, \"pass_s\": [",
           impl, kind, rate, o->samples, o->block, o->passes);
    for (int p = 0; p < o->passes; p++)
        printf("%s%.6g", p ? ", " : "", pass_s[p]);
    printf("], \"cpu_s\": [");
    for (int p = 0; p < o->passes; p++)
        printf("%s%.6g", p ? ", " : "", pass_cpu_s[p]);
    printf("], \"median_s\": %.6g, \"msps\": %.6g, \"median_cpu_s\": %.6g, \"msps_cpu\": %.6g, "
           "\"pages\": \"%s\", \"huge_kib\": %ld, \"carrier\": %.17g",
           med, unit_per_pass / med * 1e-6, med_cpu, unit_per_pass / med_cpu * 1e-6,
           bench_small_pages ? "small" : "huge", bench_huge_kib, bench_carrier);
}

#endif
