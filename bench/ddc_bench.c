/*
 * Throughput of the library through its C interface: the DDCR, the DDC and
 * each stage family on its own, plus DDCR creation time and heap footprint.
 *
 * One case per process (bench/run.py starts each one pinned to a core):
 *   ddc_bench info
 *   ddc_bench ddcr RATE | ddc RATE | lo | hbr2c | hb | cic R | fir TAPS | resamp RATE
 *   ddc_bench presamp RATE[,ATTEN]     (designed resampler, 80 dB unless given)
 *   ddc_bench xlate RATE[,ATTEN]       (translating decimator, real input, 80 dB unless given)
 *   ddc_bench create RATE
 *   ddc_bench presamp_create RATE[,ATTEN]
 *   ddc_bench probe                    (the core's limits: see machine_probe.h)
 * followed by [--samples N] [--block N] [--passes N] [--simd LEVEL] [--atten DB]
 * [--pages huge|small] (the input on transparent huge pages, the default, or on
 * 4 KiB pages; see bench_common.h) [--carrier F] (the test signal's carrier, 0.2
 * cycles per input sample unless given).
 * --atten DB runs ddcr, ddc and create on a designed plan (one that meets that
 * stop-band attenuation) instead of the exact one.
 * A pass streams the whole test signal through one handle in blocks, state
 * carried over, so a pass is exactly what a long-running receiver does; the
 * handle is never reset between passes. Each case prints one JSON line.
 *
 * Heap footprint is taken from glibc's own accounting (mallinfo2: bytes in
 * use in the main arena plus mmapped blocks, chunk overhead included) before
 * and after a create, so it covers every allocation however it was made.
 *
 * Every library function is referenced weakly and the archive is linked whole:
 * a family that is not built yet shows up as a "missing" error for the cases
 * that need it instead of breaking the build of all the others.
 */
#include "bench_common.h"
#include "machine_probe.h"

#include <malloc.h>

#include "ddc/ddc.h"
#include "ddc/ddcr.h"
#include "rate/rate_converter.h"
#include "stages/cic.h"
#include "stages/fir.h"
#include "stages/hbdecim.h"
#include "stages/hbdecim_r2c.h"
#include "stages/lo.h"
#include "stages/presamp.h"
#include "stages/xlate.h"
#include "stages/resamp.h"
#include "stages/simd.h"

#pragma weak ddcr_create
#pragma weak ddcr_execute
#pragma weak ddcr_destroy
#pragma weak ddc_create
#pragma weak ddc_execute
#pragma weak ddc_destroy
#pragma weak lo_create
#pragma weak lo_steps
#pragma weak lo_destroy
#pragma weak hbdecim_r2c_create
#pragma weak hbdecim_r2c_execute
#pragma weak hbdecim_r2c_destroy
#pragma weak hbdecim_create
#pragma weak hbdecim_execute
#pragma weak hbdecim_destroy
#pragma weak cic_create
#pragma weak cic_execute
#pragma weak cic_destroy
#pragma weak fir_create_real
#pragma weak fir_execute
#pragma weak fir_destroy
#pragma weak resamp_create
#pragma weak resamp_execute
#pragma weak resamp_destroy
#pragma weak xlate_ratio
#pragma weak xlate_create
#pragma weak xlate_execute
#pragma weak xlate_destroy
#pragma weak xlate_capacity
#pragma weak xlate_get_num_taps
#pragma weak xlate_get_up
#pragma weak xlate_get_down
#pragma weak presamp_create
#pragma weak presamp_execute
#pragma weak presamp_destroy
#pragma weak presamp_capacity
#pragma weak presamp_get_num_phases
#pragma weak presamp_get_num_taps
#pragma weak RateConverter_create
#pragma weak RateConverter_destroy
#pragma weak RateConverter_get_num_stages
#pragma weak RateConverter_stage_label
#pragma weak ddc_simd_supported
#pragma weak ddc_simd_level
#pragma weak ddc_simd_force
#pragma weak ddc_execute_capacity

/* Designed plans: not in every build of the library yet, so declared here, weakly. */
extern ddcr_state_t *ddcr_create_designed(double norm_freq, double rate, double atten_db)
    __attribute__((weak));
extern size_t ddcr_capacity(const ddcr_state_t *s, size_t n_in) __attribute__((weak));
extern double ddcr_get_cost(const ddcr_state_t *s) __attribute__((weak));
extern int ddcr_get_num_stages(const ddcr_state_t *s) __attribute__((weak));
extern int ddcr_stage_label(const ddcr_state_t *s, int index, char *buf, size_t size)
    __attribute__((weak));
extern ddc_state_t *ddc_create_designed(double norm_freq, double rate, double atten_db)
    __attribute__((weak));

/* The half-band branch table the DDCR and the rate converter use (outermost first, twice the tap weight). */
static const float HB_TABLE[18] = {
    0.00157905323f, -0.00467577344f, 0.0104431789f, -0.0201746244f, 0.0357989259f,
    -0.0608663708f, 0.104113407f,    -0.19753781f,  0.631600916f,   0.631600916f,
    -0.19753781f,   0.104113407f,    -0.0608663708f, 0.0357989259f, -0.0201746244f,
    0.0104431789f,  -0.00467577344f, 0.00157905323f};

#define NEED(fn)                                                                           \
    do {                                                                                   \
        if (!(fn)) {                                                                       \
            printf("{\"error\": \"missing %s\", \"missing\": true}\n", #fn);              \
            return 3;                                                                      \
        }                                                                                  \
    } while (0)

#define FAIL(msg)                                                                          \
    do {                                                                                   \
        printf("{\"error\": \"%s\"}\n", msg);                                              \
        return 4;                                                                          \
    } while (0)

static const char *level_name(int level)
{
    switch (level) {
    case 0: return "scalar";
    case 1: return "avx2";
    case 2: return "avx512";
    case 3: return "neon";
    default: return "unknown";
    }
}

/* Applies --simd; returns the level in force (-1 when the library has no variant switch). */
static int apply_simd(const bench_opts_t *o, int *forced_ok)
{
    *forced_ok = 1;
    if (!ddc_simd_level)
        return -1;
    if (o->simd >= 0 && ddc_simd_force)
        *forced_ok = ddc_simd_force(o->simd) >= 0;
    return ddc_simd_level();
}

/* One timed run: the kind of handle decides the call, so each case below only sets it up. */
typedef enum { K_DDCR, K_DDC, K_LO, K_HBR2C, K_HB, K_CIC, K_FIR, K_RESAMP, K_PRESAMP, K_XLATE } kind_t;

typedef struct run {
    kind_t kind;
    void *h;          /* the handle */
    const float *xr;  /* real input (K_DDCR, K_HBR2C) */
    const cf32_t *xc; /* complex input (others) */
    cf32_t *out;      /* output block */
    size_t cap;       /* its capacity in complex samples */
    size_t produced;  /* outputs of the last block */
} run_t;

static size_t run_block(run_t *r, size_t off, size_t n)
{
    switch (r->kind) {
    case K_DDCR: return ddcr_execute((ddcr_state_t *)r->h, r->xr + off, n, r->out, r->cap);
    case K_DDC: return ddc_execute((ddc_state_t *)r->h, r->xc + off, n, r->out, r->cap);
    case K_LO: return lo_steps((lo_state_t *)r->h, n, r->out);
    case K_HBR2C:
        return hbdecim_r2c_execute((hbdecim_r2c_state_t *)r->h, r->xr + off, n, r->out, r->cap);
    case K_HB: return hbdecim_execute((hbdecim_state_t *)r->h, r->xc + off, n, r->out, r->cap);
    case K_CIC: return cic_execute((cic_state_t *)r->h, r->xc + off, n, r->out, r->cap);
    case K_FIR: return fir_execute((fir_state_t *)r->h, r->xc + off, n, r->out);
    case K_RESAMP: return resamp_execute((resamp_state_t *)r->h, r->xc + off, n, r->out, r->cap);
    case K_PRESAMP: return presamp_execute((presamp_state_t *)r->h, r->xc + off, n, r->out, r->cap);
    case K_XLATE: return xlate_execute((xlate_state_t *)r->h, r->xr + off, n, r->out, r->cap);
    }
    return 0;
}

/* Warm-up blocks (scratch growth, caches), then the timed passes. Returns total outputs of the last pass. */
static size_t timed_passes(run_t *r, const bench_opts_t *o, double *pass_s, double *pass_cpu_s)
{
    size_t nblocks = o->samples / o->block, total = 0;
    for (size_t b = 0; b < 8 && b < nblocks; b++)
        r->produced = run_block(r, b * o->block, o->block);
    for (int p = 0; p < o->passes; p++) {
        total = 0;
        double t0 = now_s(), c0 = cpu_s();
        for (size_t b = 0; b < nblocks; b++) {
            r->produced = run_block(r, b * o->block, o->block);
            total += r->produced;
        }
        pass_s[p] = now_s() - t0;
        pass_cpu_s[p] = cpu_s() - c0;
    }
    return total;
}

static void lowpass_taps(float *taps, size_t n)
{
    /* Hamming-windowed sinc, cut-off 0.2: realistic values, the speed does not depend on them. */
    double mid = 0.5 * (double)(n - 1), sum = 0;
    for (size_t i = 0; i < n; i++) {
        double t = (double)i - mid;
        double s = t == 0 ? 0.4 : sin(2 * M_PI * 0.2 * t) / (M_PI * t);
        double w = n > 1 ? 0.54 - 0.46 * cos(2 * M_PI * (double)i / (double)(n - 1)) : 1.0;
        taps[i] = (float)(s * w);
        sum += s * w;
    }
    for (size_t i = 0; i < n; i++)
        taps[i] = (float)(taps[i] / sum);
}

/* Prints ", \"plan\": \"label + label\"" for the cascade a converter plans for `rate`. */
static void print_plan(double rate)
{
    if (!RateConverter_create || !RateConverter_destroy || !RateConverter_get_num_stages ||
        !RateConverter_stage_label)
        return;
    RateConverter *rc = RateConverter_create(0, rate);
    if (!rc)
        return;
    printf(", \"plan\": \"");
    int n = RateConverter_get_num_stages(rc);
    for (int i = 0; i < n; i++) {
        char label[64];
        if (RateConverter_stage_label(rc, i, label, sizeof label))
            printf("%s%s", i ? " + " : "", label);
    }
    printf("\"");
    RateConverter_destroy(rc);
}

/* The whole chain of a designed DDCR, when the library labels it. */
static void print_ddcr_plan(const ddcr_state_t *h)
{
    if (!ddcr_get_num_stages || !ddcr_stage_label)
        return;
    printf(", \"plan\": \"");
    int n = ddcr_get_num_stages(h);
    for (int i = 0; i < n; i++) {
        char label[64];
        if (ddcr_stage_label(h, i, label, sizeof label))
            printf("%s%s", i ? " + " : "", label);
    }
    printf("\"");
}

/*
 * Arithmetic per input sample, counted on the signal path of each stage as its
 * reference kernel defines it (every vector lane repeats those steps): one
 * floating-point add, multiply or fused multiply-add is one operation, so is
 * one integer add of the CIC or of an oscillator's phase; conversions, clamps,
 * shifts, sign flips, loads, stores and shuffles are not counted, nor what
 * depends on coefficients alone (a kernel may hold it precomputed).
 * Dot products of 16 terms or more end in a 15-add tree of lane sums.
 */
static double lane_tree(size_t terms)
{
    return terms >= 16 ? 15.0 : 0.0;
}

/* Half-band of n taps (the label shows 2n - 3 from n = 3 on): h folded
   coefficients, one add or subtract and one multiply-add each, plus the centre. */
static size_t hb_half(size_t shown)
{
    return (shown < 3 ? shown : (shown + 3) / 2) / 2;
}

/* Real FIR on complex samples: per part a dot product of L terms. */
static double fir_ops(size_t taps)
{
    return 2.0 * ((double)taps + lane_tree(taps));
}

/* Operations per input sample of the stage a label names, and its output/input
   rate; 0 for a label this count does not know. */
static int label_ops(const char *label, double *ops, double *rate)
{
    size_t n = 0, taps = 0, phases = 0;
    unsigned ratio = 0;
    double r = 0;
    int end = 0;
    if (sscanf(label, "HalfbandR2C(%zu taps)", &n) == 1) {
        const size_t h = hb_half(n); /* real input; per output h subtract + h fma (+ tree), centre mul */
        *ops = 0.5 * (2.0 * (double)h + lane_tree(h) + 1.0), *rate = 0.5;
    } else if (!strcmp(label, "NCO(16-bit table)")) {
        *ops = 5.0, *rate = 1.0; /* phase add; complex product: 2 mul + 2 fma */
    } else if (!strcmp(label, "NCO(32-bit phase)")) {
        /* phase add; angle mul, half-angle mul, cosine fma; table turn 2 mul + 2 fma; product 2 + 2 */
        *ops = 12.0, *rate = 1.0;
    } else if (!strcmp(label, "HalfbandDecimator") ||
               sscanf(label, "HalfbandDecimator(%zu taps)", &n) == 1) {
        const size_t h = hb_half(n ? n : 35); /* per output and part: h add + h fma (+ tree), centre fma */
        *ops = 0.5 * 2.0 * (2.0 * (double)h + lane_tree(h) + 1.0), *rate = 0.5;
    } else if (sscanf(label, "CIC(%u)%n", &ratio, &end) == 1 && ratio > 0 &&
               (!label[end] || !strcmp(label + end, "+FIR"))) {
        /* per input and part: quantising mul, lift add, 4 integrator adds; per output and part:
           4 comb subtracts and the output fma; the compensation FIR (7 taps) on the outputs */
        const double per_out = 10.0 + (label[end] ? fir_ops(7) : 0.0);
        *ops = 12.0 + per_out / ratio, *rate = 1.0 / ratio;
    } else if (sscanf(label, "Resampler(%lf, %zu taps x %zu phases)", &r, &taps, &phases) == 3) {
        /* per output and tap: the interpolated coefficient (fma) and two products; per part a 15-add fold */
        *ops = (3.0 * (double)taps + 30.0) * r, *rate = r;
    } else if (sscanf(label, "Resampler(%lf)", &r) == 1) {
        const double t = 19.0; /* the built-in bank */
        if (r == 1.0)
            *ops = 0.0;
        else if (r > 1.0) /* direct form: a dot product per output and part */
            *ops = 2.0 * (t + lane_tree(19)) * r;
        else /* transposed: a complex product-add per tap and input, the partial sums per output */
            *ops = 2.0 * t + 2.0 * (t - 1.0) * r;
        *rate = r;
    } else if (sscanf(label, "Translator(%u/%zu, %zu taps x %zu rows)", &ratio, &phases, &taps, &n) == 4 &&
               phases > 0 && n > 0) {
        /* per output: two fma per row tap, the rotation (2 mul + 2 fma); per period of n
           outputs the oscillator (8, as above) */
        r = (double)ratio / (double)phases;
        *ops = r * (2.0 * (double)taps + 4.0 + 8.0 / (double)n), *rate = r;
    } else if (!strcmp(label, "Passthrough")) {
        *ops = 0.0, *rate = 1.0;
    } else
        return 0;
    return 1;
}

/* ", ops_per_input, stage_ops" of a DDCR: every stage's operations per DDCR input sample. */
static void print_ddcr_ops(const ddcr_state_t *h)
{
    if (!ddcr_get_num_stages || !ddcr_stage_label)
        return;
    int n = ddcr_get_num_stages(h), known = 1;
    double in_rate = 1.0, total = 0.0;
    printf(", \"stage_ops\": [");
    for (int i = 0; i < n; i++) {
        char label[96];
        double ops = NAN, rate = 1.0;
        if (!ddcr_stage_label(h, i, label, sizeof label) || !label_ops(label, &ops, &rate))
            known = 0, ops = NAN;
        if (isnan(ops))
            printf("%s[\"%s\", null]", i ? ", " : "", label);
        else
            printf("%s[\"%s\", %.6g]", i ? ", " : "", label, ops * in_rate);
        total += ops * in_rate;
        in_rate *= rate;
    }
    printf("]");
    if (known)
        printf(", \"ops_per_input\": %.6g", total);
    else
        printf(", \"ops_per_input\": null");
}

/* Best and median of v[0..n) (seconds) as a rate: bytes / v. */
static void print_rate_figures(const char *key, const double *v, int n, double amount)
{
    double best = v[0];
    for (int i = 1; i < n; i++)
        best = v[i] < best ? v[i] : best;
    printf(", \"%s\": %.6g, \"%s_median\": %.6g, \"%s_passes\": [", key, amount / best * 1e-9, key,
           amount / median(v, n) * 1e-9, key);
    for (int i = 0; i < n; i++)
        printf("%s%.5g", i ? ", " : "", amount / v[i] * 1e-9);
    printf("]");
}

/* Many short passes: on a shared core the best of them is one nobody interrupted. */
#define PROBE_PASSES 20
#define PROBE_FMA_PASSES 40

/* The core's limits at the level in force: streaming read of the DDCR case's own
   input (allocated and filled the same way) and of a 64-byte aligned copy, stores
   into an output block of block/2 complex samples (the most a DDCR block writes),
   as many blocks as a pass of the input has (at least 256), and multiply-add
   throughput at every level this CPU has, about a millisecond a pass. Best of the passes. */
static int case_probe(const bench_opts_t *o, int level)
{
    if (level < 0 || !probe_has_level(level))
        level = PROBE_SCALAR;
    const size_t n = o->samples;
    float *x = make_real(n);
    char *xa_mem = (char *)bench_alloc(n * sizeof(float) + 64);
    float *xa = xa_mem ? (float *)(((uintptr_t)xa_mem + 63) & ~(uintptr_t)63) : NULL;
    const size_t out_floats = o->block; /* block/2 complex samples */
    float *y = (float *)malloc((o->block + 64) * sizeof(cf32_t)); /* as the DDCR case's output room */
    double t[PROBE_FMA_PASSES];
    if (!x || !xa || !y)
        FAIL("out of memory");
    memcpy(xa, x, n * sizeof(float));
    double check = 0;
    printf("{\"impl\": \"ours-c\", \"kind\": \"probe\", \"level\": %d, \"level_name\": \"%s\", "
           "\"passes\": %d, \"read_bytes\": %zu, \"read_offset_mod64\": %u, \"write_bytes_per_block\": %zu, "
           "\"pages\": \"%s\", \"huge_kib\": %ld",
           level, level_name(level), PROBE_PASSES, n * sizeof(float), (unsigned)((uintptr_t)x & 63),
           out_floats * sizeof(float), bench_small_pages ? "small" : "huge", bench_huge_kib);
    check += probe_read(level, x, n); /* caches and TLB as a running case finds them */
    for (int p = 0; p < PROBE_PASSES; p++) {
        double t0 = now_s();
        check += probe_read(level, x, n);
        t[p] = now_s() - t0;
    }
    print_rate_figures("read_gbs", t, PROBE_PASSES, (double)(n * sizeof(float)));
    check += probe_read(level, xa, n);
    for (int p = 0; p < PROBE_PASSES; p++) {
        double t0 = now_s();
        check += probe_read(level, xa, n);
        t[p] = now_s() - t0;
    }
    print_rate_figures("read_gbs_aligned", t, PROBE_PASSES, (double)(n * sizeof(float)));
    size_t reps = o->samples / o->block;
    reps = reps < 256 ? 256 : reps;
    probe_write(level, y, out_floats, 0.5f);
    for (int p = 0; p < PROBE_PASSES; p++) {
        double t0 = now_s();
        for (size_t b = 0; b < reps; b++) {
            probe_write(level, y, out_floats, 1.0f + (float)b);
            __asm__ __volatile__("" ::: "memory"); /* every block's stores happen */
        }
        t[p] = now_s() - t0;
    }
    check += y[out_floats - 1];
    print_rate_figures("write_gbs", t, PROBE_PASSES, (double)(reps * out_floats * sizeof(float)));
    printf(", \"write_blocks_per_pass\": %zu", reps);
    /* Multiply-adds: the level in force is the one the limit uses; the others are shown beside it. */
    const int supported = ddc_simd_supported ? ddc_simd_supported() : PROBE_SCALAR;
    const int levels[] = {PROBE_SCALAR, PROBE_AVX2, PROBE_AVX512, PROBE_NEON};
    printf(", \"fma\": {");
    int first = 1;
    for (int i = 0; i < 4; i++) {
        const int lv = levels[i];
        const int usable = probe_has_level(lv) &&
                           (lv == PROBE_SCALAR || lv == level ||
                            (supported == PROBE_NEON ? lv == PROBE_NEON : lv <= supported));
        if (!usable)
            continue;
        /* about 2^25 lane operations a pass (2^19 for scalar fmaf calls) */
        const size_t iters = lv == PROBE_SCALAR ? (size_t)1 << 16
                             : lv == PROBE_AVX512 ? (size_t)1 << 17 : (size_t)1 << 18;
        double fmas = 0;
        check += probe_fma(lv, 8 * iters, &fmas); /* clocks up, code warm */
        for (int p = 0; p < PROBE_FMA_PASSES; p++) {
            double t0 = now_s();
            check += probe_fma(lv, iters, &fmas);
            t[p] = now_s() - t0;
        }
        printf("%s\"%s\": {\"lanes_fma\": %.6g, \"passes\": %d", first ? "" : ", ", level_name(lv), fmas,
               PROBE_FMA_PASSES);
        print_rate_figures("gfma_s", t, PROBE_FMA_PASSES, fmas);
        printf("}");
        first = 0;
    }
    printf("}, \"check\": %.6g}\n", check);
    free(x);
    free(xa_mem);
    free(y);
    return 0;
}

static size_t heap_in_use(void)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#else
    struct mallinfo m = mallinfo();
    return (size_t)(unsigned)m.uordblks + (size_t)(unsigned)m.hblkhd;
#endif
}

/* Creation time (first in process, then the median of later ones) and heap bytes held per DDCR. */
static ddcr_state_t *new_ddcr(double nf, double rate, double atten)
{
    return isnan(atten) ? ddcr_create(nf, rate) : ddcr_create_designed(nf, rate, atten);
}

/* Output room for one block: what the designed plan asks for, else the block size plus slack. */
static size_t ddcr_room(const ddcr_state_t *h, double atten, size_t block)
{
    return isnan(atten) ? block + 64 : ddcr_capacity(h, block);
}

/* Later creates stop after this much time (at least MIN_LATER of them): a designed plan may
   take long to design, and the full run has a time budget. */
#define LATER_BUDGET_S 2.0
#define MIN_LATER 5

static int case_create(double rate, const bench_opts_t *o)
{
    const double atten = o->atten;
    if (isnan(atten))
        NEED(ddcr_create);
    else {
        NEED(ddcr_create_designed);
        NEED(ddcr_capacity);
    }
    NEED(ddcr_destroy);
    NEED(ddcr_execute);
    const double nf = -(2.0 * CARRIER + 0.5);
    size_t heap0 = heap_in_use();
    double t0 = now_s();
    ddcr_state_t *first = new_ddcr(nf, rate, atten);
    double first_us = (now_s() - t0) * 1e6;
    if (!first)
        FAIL("create returned null");
    size_t first_bytes = heap_in_use() - heap0;

    int later = o->passes < 20 ? 20 : o->passes;
    double *dt = (double *)malloc((size_t)later * sizeof *dt);
    if (!dt)
        FAIL("out of memory");
    int done = 0;
    double start = now_s();
    while (done < later && (done < MIN_LATER || now_s() - start < LATER_BUDGET_S)) {
        t0 = now_s();
        ddcr_state_t *h = new_ddcr(nf, rate, atten);
        dt[done++] = (now_s() - t0) * 1e6;
        ddcr_destroy(h);
    }
    later = done;

    /* Footprint of a DDCR other than the first, so process-wide tables are not counted. */
    size_t before = heap_in_use();
    ddcr_state_t *h = new_ddcr(nf, rate, atten);
    size_t at_create = heap_in_use() - before;
    size_t room = h ? ddcr_room(h, atten, o->block) : 0;
    float *x = make_real(o->block);
    cf32_t *out = (cf32_t *)malloc((room ? room : 1) * sizeof *out);
    if (!h || !x || !out)
        FAIL("create or buffer allocation failed");
    size_t base = heap_in_use(); /* x and out are ours, not the DDCR's */
    ddcr_execute(h, x, o->block, out, room);
    size_t after_block = at_create + (heap_in_use() - base);
    free(x);
    free(out);
    size_t before_destroy = heap_in_use();
    ddcr_destroy(h);
    long long released = (long long)before_destroy - (long long)heap_in_use();
    ddcr_destroy(first);

    printf("{\"impl\": \"ours-c\", \"kind\": \"create\", \"rate\": %.17g, ", rate);
    if (!isnan(atten))
        printf("\"atten_db\": %g, ", atten);
    printf("\"first_us\": %.3f, "
           "\"later_us_median\": %.3f, \"later_count\": %d, \"first_bytes\": %zu, "
           "\"bytes_at_create\": %zu, \"bytes_after_block\": %zu, \"bytes_released\": %lld, "
           "\"block\": %zu, \"accounting\": \"glibc mallinfo2 (uordblks + hblkhd)\"}\n",
           first_us, median(dt, later), later, first_bytes, at_create, after_block,
           released, o->block);
    free(dt);
    return 0;
}

/* "RATE" or "RATE,ATTEN" (80 dB by default). */
static double presamp_atten(const char *arg)
{
    const char *comma = strchr(arg, ',');
    return comma ? strtod(comma + 1, NULL) : 80.0;
}

/* Designed resampler: creation time the first time in the process (the
   design) and the median of later ones (from the process's table cache). */
static int case_presamp_create(double rate, double atten, const bench_opts_t *o)
{
    NEED(presamp_create);
    NEED(presamp_destroy);
    NEED(presamp_get_num_phases);
    NEED(presamp_get_num_taps);
    double t0 = now_s(), c0 = cpu_s();
    presamp_state_t *first = presamp_create(rate, atten);
    double first_us = (now_s() - t0) * 1e6, first_cpu_us = (cpu_s() - c0) * 1e6;
    if (!first)
        FAIL("presamp_create returned null");
    int later = o->passes < 20 ? 20 : o->passes;
    double *dt = (double *)malloc((size_t)later * sizeof *dt);
    if (!dt)
        FAIL("out of memory");
    for (int i = 0; i < later; i++) {
        t0 = now_s();
        presamp_state_t *h = presamp_create(rate, atten);
        dt[i] = (now_s() - t0) * 1e6;
        presamp_destroy(h);
    }
    printf("{\"impl\": \"ours-c\", \"kind\": \"presamp_create\", \"rate\": %.17g, \"atten_db\": %g, "
           "\"phases\": %zu, \"taps\": %zu, \"first_us\": %.3f, \"first_cpu_us\": %.3f, "
           "\"later_us_median\": %.3f, \"later_count\": %d}\n",
           rate, atten, presamp_get_num_phases(first), presamp_get_num_taps(first), first_us,
           first_cpu_us, median(dt, later), later);
    presamp_destroy(first);
    free(dt);
    return 0;
}

static int case_info(void)
{
    printf("{\"impl\": \"ours-c\", \"kind\": \"info\", \"simd_supported\": %d, \"simd_level\": %d, "
           "\"simd_name\": \"%s\", \"compiler\": \"%s\", \"ddcr_designed\": %s, "
           "\"ddc_designed\": %s, \"ddcr_cost\": %s}\n",
           ddc_simd_supported ? ddc_simd_supported() : -1, ddc_simd_level ? ddc_simd_level() : -1,
           ddc_simd_level ? level_name(ddc_simd_level()) : "none", __VERSION__,
           ddcr_create_designed && ddcr_capacity ? "true" : "false",
           ddc_create_designed && ddc_execute_capacity ? "true" : "false",
           ddcr_get_cost ? "true" : "false");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s info | ddcr RATE | ddc RATE | lo | hbr2c | hb | cic R | fir TAPS | "
                        "resamp RATE | presamp RATE[,ATTEN] | xlate RATE[,ATTEN] | create RATE | presamp_create RATE[,ATTEN] | probe  "
                        "[--samples N] [--block N] [--passes N] [--simd L] [--atten DB] [--pages huge|small] "
                        "[--carrier F]\n",
                argv[0]);
        return 2;
    }
    const char *what = argv[1];
    if (!strcmp(what, "info"))
        return case_info();
    int has_arg = strcmp(what, "lo") && strcmp(what, "hbr2c") && strcmp(what, "hb") && strcmp(what, "probe");
    double arg = has_arg && argc > 2 ? strtod(argv[2], NULL) : 0.0;
    bench_opts_t o;
    if ((has_arg && argc < 3) || !parse_opts(argc, argv, has_arg ? 3 : 2, &o)) {
        fprintf(stderr, "bad arguments\n");
        return 2;
    }
    int forced_ok;
    int level = apply_simd(&o, &forced_ok);
    if (!forced_ok)
        FAIL("requested kernel level not available on this CPU");
    if (!strcmp(what, "probe"))
        return case_probe(&o, level);
    if (!strcmp(what, "create"))
        return case_create(arg, &o);
    if (!strcmp(what, "presamp_create"))
        return case_presamp_create(arg, presamp_atten(argv[2]), &o);

    run_t r;
    memset(&r, 0, sizeof r);
    double rate = 1.0;        /* output/input of the case, for the record */
    int real_in = 0;          /* input is real float32 */
    size_t cap = o.block + 64;
    const char *kind = what;
    if (!strcmp(what, "ddcr")) {
        NEED(ddcr_execute); NEED(ddcr_destroy);
        if (isnan(o.atten))
            NEED(ddcr_create);
        else {
            NEED(ddcr_create_designed); NEED(ddcr_capacity);
            kind = "ddcr-designed";
        }
        r.kind = K_DDCR, rate = arg, real_in = 1;
        r.h = new_ddcr(-(2.0 * CARRIER + 0.5), rate, o.atten);
        if (r.h)
            cap = ddcr_room((const ddcr_state_t *)r.h, o.atten, o.block);
    } else if (!strcmp(what, "ddc")) {
        NEED(ddc_execute); NEED(ddc_destroy);
        if (isnan(o.atten))
            NEED(ddc_create);
        else {
            NEED(ddc_create_designed); NEED(ddc_execute_capacity);
            kind = "ddc-designed";
        }
        r.kind = K_DDC, rate = arg;
        r.h = isnan(o.atten) ? ddc_create(-CARRIER, rate) : ddc_create_designed(-CARRIER, rate, o.atten);
        if (r.h && !isnan(o.atten))
            cap = ddc_execute_capacity((const ddc_state_t *)r.h, o.block);
        else if (rate > 1)
            cap = (size_t)(rate * (double)o.block) + 64;
    } else if (!strcmp(what, "lo")) {
        NEED(lo_create); NEED(lo_steps); NEED(lo_destroy);
        r.kind = K_LO;
        r.h = lo_create(0.1234);
    } else if (!strcmp(what, "hbr2c")) {
        NEED(hbdecim_r2c_create); NEED(hbdecim_r2c_execute); NEED(hbdecim_r2c_destroy);
        r.kind = K_HBR2C, rate = 0.5, real_in = 1;
        r.h = hbdecim_r2c_create(19, HB_TABLE);
    } else if (!strcmp(what, "hb")) {
        NEED(hbdecim_create); NEED(hbdecim_execute); NEED(hbdecim_destroy);
        r.kind = K_HB, rate = 0.5;
        r.h = hbdecim_create(19, HB_TABLE);
    } else if (!strcmp(what, "cic")) {
        NEED(cic_create); NEED(cic_execute); NEED(cic_destroy);
        r.kind = K_CIC, rate = 1.0 / arg;
        r.h = cic_create((uint32_t)arg);
    } else if (!strcmp(what, "fir")) {
        NEED(fir_create_real); NEED(fir_execute); NEED(fir_destroy);
        size_t ntaps = (size_t)arg;
        float *taps = (float *)malloc((ntaps ? ntaps : 1) * sizeof *taps);
        if (!taps)
            FAIL("out of memory");
        lowpass_taps(taps, ntaps);
        r.kind = K_FIR;
        r.h = fir_create_real(taps, ntaps);
        free(taps);
        kind = ntaps <= 7 ? "fir-short" : "fir-long";
    } else if (!strcmp(what, "resamp")) {
        NEED(resamp_create); NEED(resamp_execute); NEED(resamp_destroy);
        r.kind = K_RESAMP, rate = arg;
        r.h = resamp_create(rate);
        if (rate > 1)
            cap = (size_t)(rate * (double)o.block) + 64;
    } else if (!strcmp(what, "presamp")) {
        NEED(presamp_create); NEED(presamp_execute); NEED(presamp_destroy); NEED(presamp_capacity);
        r.kind = K_PRESAMP, rate = arg;
        r.h = presamp_create(rate, presamp_atten(argv[2]));
        if (r.h)
            cap = presamp_capacity((presamp_state_t *)r.h, o.block) + 1;
    } else if (!strcmp(what, "xlate")) {
        NEED(xlate_ratio); NEED(xlate_create); NEED(xlate_execute); NEED(xlate_destroy); NEED(xlate_capacity);
        uint32_t up = 0, down = 0;
        if (!xlate_ratio(arg, &up, &down))
            FAIL("not a small ratio");
        r.kind = K_XLATE, rate = arg, real_in = 1;
        r.h = xlate_create(-CARRIER, up, down, presamp_atten(argv[2]));
        if (r.h)
            cap = xlate_capacity((xlate_state_t *)r.h, o.block) + 1;
    } else {
        fprintf(stderr, "unknown case %s\n", what);
        return 2;
    }
    if (!r.h)
        FAIL("create returned null");
    if (cap == 0)
        FAIL("output capacity 0 for a whole block");

    void *in = real_in ? (void *)make_real(o.samples) : (void *)make_complex(o.samples);
    r.out = (cf32_t *)malloc(cap * sizeof *r.out);
    double *pass_s = (double *)malloc(2 * (size_t)o.passes * sizeof *pass_s);
    if (!in || !r.out || !pass_s)
        FAIL("out of memory");
    r.xr = (const float *)in;
    r.xc = (const cf32_t *)in;
    r.cap = cap;

    size_t outputs = timed_passes(&r, &o, pass_s, pass_s + o.passes);
    print_times("ours-c", kind, rate, &o, pass_s, pass_s + o.passes, (double)o.samples);
    printf(", \"arg\": %.17g, \"outputs_per_pass\": %zu, \"simd_level\": %d, \"simd_name\": \"%s\"",
           arg, outputs, level, level_name(level));
    if (r.kind == K_DDCR || r.kind == K_DDC)
        printf(", \"dc_purity\": %.6f", dc_purity((const float *)r.out, r.produced));
    if (r.kind == K_DDCR && ddcr_get_cost)
        printf(", \"cost_macs_per_input\": %.6g", ddcr_get_cost((const ddcr_state_t *)r.h));
    /* Traffic per counted sample (input samples; outputs for the oscillator): the
       input read once, the outputs written once. */
    printf(", \"bytes_in_per_sample\": %g, \"bytes_out_per_sample\": %.6g",
           r.kind == K_LO ? 0.0 : real_in ? 4.0 : 8.0,
           r.kind == K_LO ? 8.0 : 8.0 * (double)outputs / (double)o.samples);
    if (r.kind == K_DDCR)
        print_ddcr_ops((const ddcr_state_t *)r.h);
    else {
        char label[96] = "";
        double ops = NAN, srate = 1.0;
        switch (r.kind) {
        case K_LO: ops = 1.0; break; /* the phase add */
        case K_HBR2C: snprintf(label, sizeof label, "HalfbandR2C(35 taps)"); break;
        case K_HB: snprintf(label, sizeof label, "HalfbandDecimator"); break;
        case K_CIC: snprintf(label, sizeof label, "CIC(%u)", (unsigned)arg); break;
        case K_FIR: ops = fir_ops((size_t)arg); break;
        case K_RESAMP: snprintf(label, sizeof label, "Resampler(%.17g)", arg); break;
        case K_PRESAMP:
            if (!presamp_get_num_taps || !presamp_get_num_phases)
                break;
            snprintf(label, sizeof label, "Resampler(%.17g, %zu taps x %zu phases)", arg,
                     presamp_get_num_taps((const presamp_state_t *)r.h),
                     presamp_get_num_phases((const presamp_state_t *)r.h));
            break;
        case K_XLATE:
            if (!xlate_get_num_taps || !xlate_get_up || !xlate_get_down)
                break;
            snprintf(label, sizeof label, "Translator(%u/%u, %zu taps x %u rows)",
                     xlate_get_up((const xlate_state_t *)r.h), xlate_get_down((const xlate_state_t *)r.h),
                     xlate_get_num_taps((const xlate_state_t *)r.h), xlate_get_up((const xlate_state_t *)r.h));
            break;
        default: break;
        }
        if (label[0] && !label_ops(label, &ops, &srate))
            ops = NAN;
        if (!isnan(ops))
            printf(", \"ops_per_input\": %.6g", ops);
    }
    if (!isnan(o.atten)) {
        printf(", \"atten_db\": %g, \"out_capacity\": %zu", o.atten, cap);
        if (r.kind == K_DDCR)
            print_ddcr_plan((const ddcr_state_t *)r.h);
    } else if (r.kind == K_DDCR)
        print_plan(2.0 * rate); /* the DDCR's converter runs after its 2:1 stage */
    else if (r.kind == K_DDC)
        print_plan(rate);
    printf("}\n");

    switch (r.kind) {
    case K_DDCR: ddcr_destroy((ddcr_state_t *)r.h); break;
    case K_DDC: ddc_destroy((ddc_state_t *)r.h); break;
    case K_LO: lo_destroy((lo_state_t *)r.h); break;
    case K_HBR2C: hbdecim_r2c_destroy((hbdecim_r2c_state_t *)r.h); break;
    case K_HB: hbdecim_destroy((hbdecim_state_t *)r.h); break;
    case K_CIC: cic_destroy((cic_state_t *)r.h); break;
    case K_FIR: fir_destroy((fir_state_t *)r.h); break;
    case K_RESAMP: resamp_destroy((resamp_state_t *)r.h); break;
    case K_PRESAMP: presamp_destroy((presamp_state_t *)r.h); break;
    case K_XLATE: xlate_destroy((xlate_state_t *)r.h); break;
    }
    free(in);
    free(r.out);
    free(pass_s);
    return 0;
}
