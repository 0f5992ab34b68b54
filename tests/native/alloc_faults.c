/*
 * Allocation-fault harness for the rate converter, the front ends and the
 * channel bank.
 *
 * Linked against the static library with -Wl,--wrap= for malloc, calloc,
 * realloc, aligned_alloc, posix_memalign and free, so every allocation the
 * library makes goes through the counters below. A scenario makes allocation number k fail, for
 * k = 1, 2, ... until the operation succeeds, and checks that each failure is
 * reported, leaks nothing and (for processing) consumes nothing.
 *
 * Usage: alloc_faults SCENARIO; prints "ok SCENARIO <failures exercised>" and
 * exits 0, or prints "FAIL ..." and exits 1.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ddc/chanbank.h"
#include "ddc/ddc.h"
#include "ddc/ddcr.h"
#include "ddc/ddcr_internal.h"
#include "rate/rate_converter.h"
#include "rate/rate_converter_internal.h"

void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t m);
void *__real_realloc(void *p, size_t n);
void *__real_aligned_alloc(size_t align, size_t n);
int __real_posix_memalign(void **p, size_t align, size_t n);
void __real_free(void *p);

static long g_live;     /* blocks allocated by the library and not yet freed */
static long g_count;    /* allocations attempted since arm() */
static long g_fail_at;  /* attempt number that fails, 0 for none */

static int _should_fail(void)
{
    ++g_count;
    return g_fail_at != 0 && g_count == g_fail_at;
}

void *__wrap_malloc(size_t n)
{
    if (_should_fail())
        return NULL;
    void *p = __real_malloc(n);
    if (p)
        ++g_live;
    return p;
}

void *__wrap_calloc(size_t n, size_t m)
{
    if (_should_fail())
        return NULL;
    void *p = __real_calloc(n, m);
    if (p)
        ++g_live;
    return p;
}

void *__wrap_realloc(void *q, size_t n)
{
    if (_should_fail())
        return NULL;
    void *p = __real_realloc(q, n);
    if (p && !q)
        ++g_live;
    return p;
}

void *__wrap_aligned_alloc(size_t align, size_t n)
{
    if (_should_fail())
        return NULL;
    void *p = __real_aligned_alloc(align, n);
    if (p)
        ++g_live;
    return p;
}

int __wrap_posix_memalign(void **p, size_t align, size_t n)
{
    if (_should_fail())
        return 12; /* ENOMEM */
    const int rc = __real_posix_memalign(p, align, n);
    if (rc == 0)
        ++g_live;
    return rc;
}

void __wrap_free(void *p)
{
    if (p)
        --g_live;
    __real_free(p);
}

static void arm(long k)
{
    g_count = 0;
    g_fail_at = k;
}

static void disarm(void)
{
    g_fail_at = 0;
}

static int g_failed;

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            printf("FAIL %s:%d: ", __func__, __LINE__);                                            \
            printf(__VA_ARGS__);                                                                   \
            printf("\n");                                                                          \
            g_failed = 1;                                                                          \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

enum { MAX_K = 64 };

static void fill_real(float *x, size_t n, unsigned seed)
{
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        x[i] = (float)((seed >> 8) & 0xFFFF) / 65536.0f - 0.5f;
    }
}

static void fill_complex(cf32_t *x, size_t n, unsigned seed)
{
    fill_real((float *)x, 2 * n, seed);
}

/* Create fails cleanly at every allocation point, for every plan shape. */
static long scenario_rc_create(void)
{
    static const double rates[] = {2.0, 1.0, 0.75, 0.5, 0.25, 0.125, 0.1, 0.07, 1.0 / 12,
                                   0.01, 0.0002, 0x1p-13, 0.0001};
    long exercised = 0;
    for (int comp = 0; comp <= 1; ++comp) {
        for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
            const long base = g_live;
            int built = 0;
            for (long k = 1; k <= MAX_K && !built; ++k) {
                arm(k);
                RateConverter *rc = RateConverter_create(comp, rates[r]);
                disarm();
                if (rc) {
                    built = 1;
                    RateConverter_destroy(rc);
                } else {
                    ++exercised;
                }
                CHECK(g_live == base, "rate %g comp %d fail_at %ld: %ld blocks leaked", rates[r],
                      comp, k, g_live - base);
                if (!rc && g_count < k)
                    break; /* refused without reaching allocation k: unbuildable */
            }
            CHECK(built || rates[r] == 0.0001, "rate %g comp %d never built", rates[r], comp);
        }
    }
    return exercised;
}

/* A failed rebuild leaves an empty converter holding the new rate, and leaks nothing. */
static long scenario_rc_set_rate(void)
{
    static const double rates[] = {0.25, 0.1, 0.07, 0x1p-13, 2.0};
    long exercised = 0;
    for (int comp = 0; comp <= 1; ++comp) {
        for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
            const long base_empty = g_live + 1; /* the converter record alone */
            RateConverter *rc = RateConverter_create(comp, 0.5);
            CHECK(rc, "create");
            cf32_t in[64], out[64];
            fill_complex(in, 64, 7);
            RateConverter_execute(rc, in, 64, out, 64); /* scratch buffers exist */
            int built = 0;
            for (long k = 1; k <= MAX_K && !built; ++k) {
                arm(k);
                RateConverter_set_rate(rc, rates[r]);
                disarm();
                CHECK(RateConverter_get_rate(rc) == rates[r], "rate not stored");
                if (RateConverter_get_num_stages(rc) == 0) {
                    ++exercised;
                    CHECK(g_live == base_empty, "rate %g fail_at %ld: %ld blocks leaked", rates[r],
                          k, g_live - base_empty);
                    memset(out, 0x55, sizeof out);
                    CHECK(RateConverter_execute(rc, in, 64, out, 64) == 0, "empty converter output");
                    CHECK(((unsigned char *)out)[0] == 0x55, "empty converter wrote");
                    RateConverter_set_rate(rc, 0.5); /* refill for the next attempt */
                    CHECK(RateConverter_get_num_stages(rc) == 1, "refill");
                    RateConverter_execute(rc, in, 64, out, 64);
                } else {
                    built = 1;
                }
            }
            CHECK(built, "never rebuilt");
            RateConverter_destroy(rc);
        }
    }
    return exercised;
}

/* Every allocation of a block, the scratch buffers' and each stage's own (the
   compensation FIR's work area), fails in turn in the middle of a stream: the
   failed block is not consumed, and after a reserve a block allocates nothing. */
static long scenario_rc_execute(void)
{
    enum { N1 = 301, N2 = 4000, N3 = 777 };
    static cf32_t in[N1 + N2 + N3], ref[N1 + N2 + N3], got[N1 + N2 + N3];
    fill_complex(in, N1 + N2 + N3, 11);
    static const struct {
        int comp;
        double rate;
    } cases[] = {{0, 0.1}, {0, 0.25}, {0, 0.75}, {0, 0.07}, {1, 0.125}, {1, 0.01}, {1, 0.1}};
    long exercised = 0;
    for (size_t r = 0; r < sizeof cases / sizeof cases[0]; ++r) {
        const int comp = cases[r].comp;
        const double rate = cases[r].rate;
        RateConverter *a = RateConverter_create(comp, rate);
        size_t n_ref = RateConverter_execute(a, in, N1, ref, N1);
        n_ref += RateConverter_execute(a, in + N1, N2, ref + n_ref, N2);
        n_ref += RateConverter_execute(a, in + N1 + N2, N3, ref + n_ref, N3);
        RateConverter_destroy(a);
        for (long k = 1; k <= MAX_K; ++k) {
            const long base0 = g_live;
            RateConverter *rc = RateConverter_create(comp, rate);
            CHECK(rc, "create");
            size_t n = RateConverter_execute(rc, in, N1, got, N1);
            const long base = g_live;
            arm(k); /* the longer block must grow every buffer */
            size_t c = RateConverter_execute(rc, in + N1, N2, got + n, N2);
            disarm();
            const long attempts = g_count;
            if (attempts >= k) {
                ++exercised;
                CHECK(c == 0, "rate %g comp %d fail_at %ld: returned %zu", rate, comp, k, c);
                CHECK(g_live <= base, "rate %g comp %d fail_at %ld: leaked", rate, comp, k);
                /* the two scratch buffers come first, and go together */
                CHECK(k > 2 || RateConverter_get_scratch_cap(rc) == 0, "scratch kept");
                CHECK(RateConverter_reserve(rc, N2) == 0, "reserve");
                arm(0);
                c = RateConverter_execute(rc, in + N1, N2, got + n, N2);
                disarm();
                CHECK(g_count == 0, "rate %g comp %d: %ld allocations after reserve", rate, comp,
                      g_count);
            }
            n += c;
            n += RateConverter_execute(rc, in + N1 + N2, N3, got + n, N3);
            CHECK(n == n_ref && memcmp(ref, got, n * sizeof(cf32_t)) == 0,
                  "rate %g comp %d fail_at %ld: the failed block was consumed", rate, comp, k);
            RateConverter_destroy(rc);
            CHECK(g_live == base0, "rate %g comp %d fail_at %ld: %ld blocks leaked", rate, comp, k,
                  g_live - base0);
            if (attempts < k)
                break;
        }
    }
    return exercised;
}

/* 0: the exact plans; otherwise the front ends are built as designed plans
   of this attenuation (the *_designed scenarios). */
static double g_atten;

static ddcr_state_t *make_ddcr(double norm_freq, double rate)
{
    return g_atten > 0 ? ddcr_create_designed(norm_freq, rate, g_atten) : ddcr_create(norm_freq, rate);
}

static ddc_state_t *make_ddc(double norm_freq, double rate)
{
    return g_atten > 0 ? ddc_create_designed(norm_freq, rate, g_atten) : ddc_create(norm_freq, rate);
}

static long scenario_ddcr_create(void)
{
    static const double rates[] = {0.25, 0.125, 0.2, 0.05, 0.035, 0x1p-14, 0.0001, 0.3};
    long exercised = 0;
    for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
        const long base = g_live;
        int built = 0;
        for (long k = 1; k <= MAX_K && !built; ++k) {
            arm(k);
            ddcr_state_t *s = make_ddcr(-0.7, rates[r]);
            disarm();
            if (s) {
                built = 1;
                ddcr_destroy(s);
            } else {
                ++exercised;
            }
            CHECK(g_live == base, "rate %g fail_at %ld: %ld leaked", rates[r], k, g_live - base);
        }
        CHECK(built, "rate %g never built", rates[r]);
    }
    return exercised;
}

static long scenario_ddc_create(void)
{
    static const double rates[] = {3.0, 1.0, 0.5, 0.25, 0.1, 0.07, 0x1p-13};
    long exercised = 0;
    for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
        const long base = g_live;
        int built = 0;
        for (long k = 1; k <= MAX_K && !built; ++k) {
            arm(k);
            ddc_state_t *s = make_ddc(0.1, rates[r]);
            disarm();
            if (s) {
                built = 1;
                ddc_destroy(s);
            } else {
                ++exercised;
            }
            CHECK(g_live == base, "rate %g fail_at %ld: %ld leaked", rates[r], k, g_live - base);
        }
        CHECK(built, "rate %g never built", rates[r]);
    }
    return exercised;
}

/* Every allocation a DDCR block makes happens before any stage runs: a failed
   block leaves the state as it was, so offering it again gives the reference. */
static long scenario_ddcr_execute(void)
{
    enum { N1 = 301, N2 = 5001, N3 = 777 };
    static float x[N1 + N2 + N3];
    static cf32_t ref[N1 + N2 + N3], got[N1 + N2 + N3];
    fill_real(x, N1 + N2 + N3, 3);
    static const double rates[] = {0.25, 0.125, 0.035, 0.05, 0.2, 0.3};
    long exercised = 0;
    for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
        ddcr_state_t *a = make_ddcr(-0.61, rates[r]);
        size_t n_ref = 0;
        n_ref += ddcr_execute(a, x, N1, ref + n_ref, N1);
        n_ref += ddcr_execute(a, x + N1, N2, ref + n_ref, N2);
        n_ref += ddcr_execute(a, x + N1 + N2, N3, ref + n_ref, N3);
        ddcr_destroy(a);
        for (long k = 1;; ++k) {
            ddcr_state_t *s = make_ddcr(-0.61, rates[r]);
            size_t n = 0, c = 0;
            CHECK(ddcr_execute_checked(s, x, N1, got, N1, &c) == 0, "small block");
            n += c;
            /* the longer block must grow every buffer: fail allocation k of it */
            const long base = g_live;
            arm(k);
            const int rc = ddcr_execute_checked(s, x + N1, N2, got + n, N2, &c);
            disarm();
            const long attempts = g_count;
            if (rc != 0) {
                ++exercised;
                CHECK(c == 0, "count after failure");
                CHECK(g_live <= base, "rate %g fail_at %ld: leaked", rates[r], k);
                CHECK(ddcr_execute_checked(s, x + N1, N2, got + n, N2, &c) == 0, "retry");
            }
            n += c;
            CHECK(ddcr_execute_checked(s, x + N1 + N2, N3, got + n, N3, &c) == 0, "last block");
            n += c;
            CHECK(n == n_ref && memcmp(ref, got, n * sizeof(cf32_t)) == 0,
                  "rate %g fail_at %ld: a failed block was consumed", rates[r], k);
            ddcr_destroy(s);
            if (rc == 0 || attempts < k)
                break;
        }
    }
    return exercised;
}

static long scenario_ddc_execute(void)
{
    enum { N1 = 100, N2 = 3000 };
    static cf32_t x[N1 + N2], ref[4 * (N1 + N2)], got[4 * (N1 + N2)];
    fill_complex(x, N1 + N2, 5);
    static const double rates[] = {3.0, 1.0, 0.25, 0.07};
    long exercised = 0;
    for (size_t r = 0; r < sizeof rates / sizeof rates[0]; ++r) {
        ddc_state_t *a = make_ddc(0.13, rates[r]);
        size_t n_ref = ddc_execute(a, x, N1, ref, 4 * N1);
        n_ref += ddc_execute(a, x + N1, N2, ref + n_ref, 4 * N2);
        ddc_destroy(a);
        for (long k = 1;; ++k) {
            ddc_state_t *s = make_ddc(0.13, rates[r]);
            size_t n = ddc_execute(s, x, N1, got, 4 * N1);
            const long base = g_live;
            arm(k);
            size_t c = ddc_execute(s, x + N1, N2, got + n, 4 * N2);
            disarm();
            const long attempts = g_count;
            if (attempts >= k) { /* allocation k was refused */
                ++exercised;
                CHECK(c == 0, "count after failure");
                CHECK(g_live <= base, "rate %g fail_at %ld: leaked", rates[r], k);
                c = ddc_execute(s, x + N1, N2, got + n, 4 * N2);
            }
            n += c;
            CHECK(n == n_ref && memcmp(ref, got, n * sizeof(cf32_t)) == 0,
                  "rate %g fail_at %ld: a failed block was consumed", rates[r], k);
            ddc_destroy(s);
            if (attempts < k)
                break;
        }
    }
    return exercised;
}

/* --- channel bank --------------------------------------------------------- */

static long scenario_chanbank_create(void)
{
    static const struct {
        int comp;
        double atten, max_rate;
    } cases[] = {{0, 80.0, 0.0016}, {0, 120.0, 0.2}, {1, 80.0, 0.01}, {1, 40.0, 3.0}};
    long exercised = 0;
    for (size_t r = 0; r < sizeof cases / sizeof cases[0]; ++r) {
        const long base = g_live;
        int built = 0;
        for (long k = 1; k <= MAX_K && !built; ++k) {
            arm(k);
            chanbank_t *b = chanbank_create(cases[r].comp, cases[r].atten, cases[r].max_rate);
            disarm();
            if (b) {
                built = 1;
                chanbank_destroy(b);
            } else {
                ++exercised;
            }
            CHECK(g_live == base, "case %zu fail_at %ld: %ld leaked", r, k, g_live - base);
        }
        CHECK(built, "case %zu never built", r);
    }
    return exercised;
}

/* A bank of a few channels on both paths, fed N1 samples. */
enum { CB_N1 = 70001, CB_N2 = 130003, CB_OUT = 4096, CB_MAX = 8 };

static chanbank_t *cb_make(int comp)
{
    chanbank_t *b = chanbank_create(comp, 80.0, 0.02);
    if (!b)
        return NULL;
    const double lo = comp ? -0.4 : 0.05;
    for (int k = 0; k < 3; ++k)
        if (chanbank_add(b, lo + 0.1 * k, 0.02 - 0.005 * k, 80.0 - 10.0 * k,
                         k == 1 ? CHANBANK_PATH_FFT : CHANBANK_PATH_TIME) < 0) {
            chanbank_destroy(b);
            return NULL;
        }
    return b;
}

/* Runs n samples; out[i] gets channel i's output, cnt[i] its count. */
static int cb_run(chanbank_t *b, int comp, const void *x, size_t n, cf32_t out[][CB_OUT],
                  size_t *cnt)
{
    cf32_t *outs[CB_MAX];
    size_t caps[CB_MAX];
    const size_t nc = chanbank_num_channels(b);
    for (size_t i = 0; i < nc; ++i) {
        outs[i] = out[i];
        caps[i] = CB_OUT;
    }
    return comp ? chanbank_execute_complex(b, (const cf32_t *)x, n, outs, caps, cnt)
                : chanbank_execute(b, (const float *)x, n, outs, caps, cnt);
}

/* Every allocation point of an add fails in turn, for each path and for an
   FFT size the bank has no plan for yet: the add returns -1, the blocks live
   are those before it, and the three channels already there give the bytes
   of a bank that never saw the attempt. */
static long scenario_chanbank_add(void)
{
    static float xr[CB_N1 + CB_N2];
    static cf32_t xc[CB_N1 + CB_N2];
    static cf32_t ref[CB_MAX][CB_OUT], got[CB_MAX][CB_OUT];
    static size_t ref_n[2][CB_MAX], got_n[2][CB_MAX];
    fill_real(xr, CB_N1 + CB_N2, 21);
    fill_complex(xc, CB_N1 + CB_N2, 22);
    static const struct {
        double rate, atten;
        int path;
    } adds[] = {{0.02, 80.0, CHANBANK_PATH_TIME}, {0.015, 80.0, CHANBANK_PATH_FFT},
                {0.0005, 60.0, CHANBANK_PATH_FFT}, {0.01, 70.0, CHANBANK_PATH_AUTO}};
    long exercised = 0;
    for (int comp = 0; comp <= 1; ++comp) {
        const void *x = comp ? (const void *)xc : (const void *)xr;
        chanbank_t *a = cb_make(comp);
        CHECK(a, "make");
        CHECK(cb_run(a, comp, x, CB_N1, ref, ref_n[0]) == 0, "ref 1");
        size_t off[CB_MAX];
        for (int i = 0; i < 3; ++i)
            off[i] = ref_n[0][i];
        cf32_t *outs[CB_MAX];
        size_t caps[CB_MAX];
        for (int i = 0; i < 3; ++i) {
            outs[i] = ref[i] + off[i];
            caps[i] = CB_OUT - off[i];
        }
        CHECK((comp ? chanbank_execute_complex(a, xc + CB_N1, CB_N2, outs, caps, ref_n[1])
                    : chanbank_execute(a, xr + CB_N1, CB_N2, outs, caps, ref_n[1])) == 0,
              "ref 2");
        chanbank_destroy(a);
        for (size_t r = 0; r < sizeof adds / sizeof adds[0]; ++r) {
            int added = 0;
            for (long k = 1; k <= MAX_K && !added; ++k) {
                const long base0 = g_live;
                chanbank_t *b = cb_make(comp);
                CHECK(b, "make");
                CHECK(cb_run(b, comp, x, CB_N1, got, got_n[0]) == 0, "run 1");
                const long base = g_live;
                arm(k);
                const int id = chanbank_add(b, comp ? 0.21 : 0.31, adds[r].rate, adds[r].atten,
                                            adds[r].path);
                disarm();
                if (id >= 0) {
                    added = 1;
                    CHECK(chanbank_num_channels(b) == 4, "added");
                    CHECK(chanbank_remove(b, id) == 0, "remove");
                } else {
                    ++exercised;
                    CHECK(g_live == base, "comp %d add %zu fail_at %ld: %ld blocks kept", comp, r,
                          k, g_live - base);
                    CHECK(chanbank_num_channels(b) == 3, "comp %d add %zu: a channel more", comp, r);
                }
                for (int i = 0; i < 3; ++i) {
                    outs[i] = got[i] + got_n[0][i];
                    caps[i] = CB_OUT - got_n[0][i];
                }
                CHECK((comp ? chanbank_execute_complex(b, xc + CB_N1, CB_N2, outs, caps, got_n[1])
                            : chanbank_execute(b, xr + CB_N1, CB_N2, outs, caps, got_n[1])) == 0,
                      "run 2");
                for (int i = 0; i < 3; ++i) {
                    const size_t n = got_n[0][i] + got_n[1][i];
                    CHECK(n == ref_n[0][i] + ref_n[1][i] && memcmp(got[i], ref[i], n * sizeof(cf32_t)) == 0,
                          "comp %d add %zu fail_at %ld: channel %d changed", comp, r, k, i);
                }
                chanbank_destroy(b);
                CHECK(g_live == base0, "comp %d add %zu fail_at %ld: %ld leaked", comp, r, k,
                      g_live - base0);
            }
            CHECK(added, "comp %d add %zu never added", comp, r);
        }
    }
    return exercised;
}

/* Processing allocates nothing: blocks of many sizes over several FFT blocks,
   after adds, a remove and a retune. */
static long scenario_chanbank_execute(void)
{
    enum { N = 400000 };
    static float xr[N];
    static cf32_t xc[N];
    static cf32_t out[CB_MAX][CB_OUT * 8];
    fill_real(xr, N, 31);
    fill_complex(xc, N, 32);
    long blocks = 0;
    for (int comp = 0; comp <= 1; ++comp) {
        chanbank_t *b = cb_make(comp);
        CHECK(b, "make");
        const int extra = chanbank_add(b, 0.2, 0.001, 60.0, CHANBANK_PATH_FFT);
        CHECK(extra >= 0 && chanbank_add(b, 0.25, 0.01, 80.0, CHANBANK_PATH_AUTO) >= 0, "add");
        size_t pos = 0, step = 1;
        while (pos < N) {
            const size_t n = pos + step < N ? step : N - pos;
            cf32_t *outs[CB_MAX];
            size_t caps[CB_MAX], cnt[CB_MAX];
            const size_t nc = chanbank_num_channels(b);
            for (size_t i = 0; i < nc; ++i) {
                outs[i] = out[i];
                caps[i] = CB_OUT * 8;
            }
            arm(0);
            const int rc = comp ? chanbank_execute_complex(b, xc + pos, n, outs, caps, cnt)
                                : chanbank_execute(b, xr + pos, n, outs, caps, cnt);
            disarm();
            CHECK(rc == 0 && g_count == 0, "comp %d block %zu at %zu: %ld allocations", comp, n,
                  pos, g_count);
            ++blocks;
            pos += n;
            step = step * 7 + 3;
            if (step > 150000)
                step = 5;
            if (blocks == 6) {
                CHECK(chanbank_remove(b, extra) == 0, "remove");
                CHECK(chanbank_retune(b, chanbank_channel_id(b, 1), 0.1) == 0, "retune");
            }
        }
        chanbank_destroy(b);
    }
    return blocks;
}

static long designed(long (*fn)(void))
{
    g_atten = 80.0;
    const long n = fn();
    g_atten = 0.0;
    return n;
}

static long scenario_ddcr_create_designed(void) { return designed(scenario_ddcr_create); }
static long scenario_ddc_create_designed(void) { return designed(scenario_ddc_create); }
static long scenario_ddcr_execute_designed(void) { return designed(scenario_ddcr_execute); }
static long scenario_ddc_execute_designed(void) { return designed(scenario_ddc_execute); }

int main(int argc, char **argv)
{
    if (argc != 2) {
        printf("usage: alloc_faults SCENARIO\n");
        return 2;
    }
    /* The oscillator's table and anything else made once per process. */
    ddcr_destroy(ddcr_create(0.1, 0.1));
    ddc_destroy(ddc_create(0.1, 0.1));

    static const struct {
        const char *name;
        long (*fn)(void);
    } scenarios[] = {
        {"rc_create", scenario_rc_create},       {"rc_set_rate", scenario_rc_set_rate},
        {"rc_execute", scenario_rc_execute},     {"ddcr_create", scenario_ddcr_create},
        {"ddc_create", scenario_ddc_create},     {"ddcr_execute", scenario_ddcr_execute},
        {"ddc_execute", scenario_ddc_execute},
        {"ddcr_create_designed", scenario_ddcr_create_designed},
        {"ddc_create_designed", scenario_ddc_create_designed},
        {"ddcr_execute_designed", scenario_ddcr_execute_designed},
        {"ddc_execute_designed", scenario_ddc_execute_designed},
        {"chanbank_create", scenario_chanbank_create},
        {"chanbank_add", scenario_chanbank_add},
        {"chanbank_execute", scenario_chanbank_execute},
    };
    for (size_t i = 0; i < sizeof scenarios / sizeof scenarios[0]; ++i) {
        if (strcmp(argv[1], scenarios[i].name) == 0) {
            const long exercised = scenarios[i].fn();
            if (g_failed || exercised < 0)
                return 1;
            printf("ok %s %ld\n", argv[1], exercised);
            return 0;
        }
    }
    printf("unknown scenario %s\n", argv[1]);
    return 2;
}
