/*
 * The liquid-dsp peer of the DDCR: the same job built from liquid's blocks.
 *   firhilbf decimator (real -> complex, 2:1; m = 9 at 60 dB gives the same
 *   35-tap half-band as ours, with the same fs/4 shift: a tone at f_c leaves at
 *   2 f_c - 0.5), then nco_crcf mixing that tone to 0 Hz, then msresamp2_crcf
 *   (a cascade of half-bands, pass band to 0.4 of the output rate) when the
 *   remaining ratio 2*rate is 1/2^k, otherwise msresamp_crcf, both at 60 dB.
 *
 *   liquid_peer RATE [--samples N] [--block N] [--passes N]
 *
 * Streams the test signal of bench_common.h in blocks with state carried over,
 * exactly like ddc_bench's "ddcr" case, and prints one JSON line.
 */
#include "bench_common.h"

#include <liquid/liquid.h>

#define STOPBAND_DB 60.0f
#define HILBERT_M 9
#define MSRESAMP2_FC 0.4f

typedef struct peer {
    firhilbf hilb;          /* real -> complex 2:1 */
    nco_crcf nco;           /* fine mixer at fs/2 */
    msresamp2_crcf hb;      /* power-of-two remainder, or NULL */
    unsigned int hb_m;      /* its decimation factor 2^k */
    msresamp_crcf arb;      /* any other remainder, or NULL */
    float complex *mid;     /* intermediate block at fs/2 */
    float complex *out;     /* output block */
} peer_t;

/* k with r == 2^-k exactly, or 0. */
static unsigned int pow2_stages(double r)
{
    for (unsigned int k = 1; k <= 15; k++)
        if (r == ldexp(1.0, -(int)k))
            return k;
    return 0;
}

static size_t peer_block(peer_t *p, const float *x, size_t n)
{
    size_t half = n / 2; /* blocks are even */
    firhilbf_decim_execute_block(p->hilb, (float *)x, (unsigned int)half, p->mid);
    nco_crcf_mix_block_down(p->nco, p->mid, p->mid, (unsigned int)half);
    if (p->hb) {
        size_t m = half / p->hb_m;
        for (size_t i = 0; i < m; i++)
            msresamp2_crcf_execute(p->hb, p->mid + i * p->hb_m, p->out + i);
        return m;
    }
    unsigned int ny = 0;
    msresamp_crcf_execute(p->arb, p->mid, (unsigned int)half, p->out, &ny);
    return ny;
}

int main(int argc, char **argv)
{
    bench_opts_t o;
    if (argc < 2 || !parse_opts(argc, argv, 2, &o) || o.block % 2) {
        fprintf(stderr, "usage: %s RATE [--samples N] [--block N (even)] [--passes N] [--pages huge|small]\n", argv[0]);
        return 2;
    }
    double rate = strtod(argv[1], NULL);
    if (!(rate > 0 && rate < 0.5)) {
        printf("{\"error\": \"rate outside (0, 0.5)\"}\n");
        return 2;
    }
    double r2 = 2.0 * rate;
    peer_t p;
    memset(&p, 0, sizeof p);
    p.hilb = firhilbf_create(HILBERT_M, STOPBAND_DB);
    p.nco = nco_crcf_create(LIQUID_NCO);
    nco_crcf_set_frequency(p.nco, (float)(2.0 * M_PI * (2.0 * CARRIER - 0.5)));
    char design[160];
    unsigned int k = pow2_stages(r2);
    if (k && (o.block / 2) % (1u << k) == 0) {
        p.hb = msresamp2_crcf_create(LIQUID_RESAMP_DECIM, k, MSRESAMP2_FC, 0.0f, STOPBAND_DB);
        p.hb_m = 1u << k;
        snprintf(design, sizeof design,
                 "firhilbf(m=%d, %.0f dB) + nco_crcf + msresamp2_crcf(%u stages, fc=%.2f, %.0f dB)",
                 HILBERT_M, STOPBAND_DB, k, MSRESAMP2_FC, STOPBAND_DB);
    } else {
        p.arb = msresamp_crcf_create((float)r2, STOPBAND_DB);
        snprintf(design, sizeof design, "firhilbf(m=%d, %.0f dB) + nco_crcf + msresamp_crcf(r=%g, %.0f dB)",
                 HILBERT_M, STOPBAND_DB, r2, STOPBAND_DB);
    }
    size_t cap = (size_t)ceil(1.0 + 2.0 * r2 * (double)(o.block / 2)) + 64;
    p.mid = (float complex *)malloc(o.block / 2 * sizeof *p.mid);
    p.out = (float complex *)malloc(cap * sizeof *p.out);
    float *x = make_real(o.samples);
    double *pass_s = (double *)malloc(2 * (size_t)o.passes * sizeof *pass_s);
    if (!p.hilb || !p.nco || (!p.hb && !p.arb) || !p.mid || !p.out || !x || !pass_s) {
        printf("{\"error\": \"liquid peer set-up failed\"}\n");
        return 4;
    }

    size_t nblocks = o.samples / o.block, total = 0, last = 0;
    for (size_t b = 0; b < 8 && b < nblocks; b++)
        last = peer_block(&p, x + b * o.block, o.block);
    for (int pass = 0; pass < o.passes; pass++) {
        total = 0;
        double t0 = now_s(), c0 = cpu_s();
        for (size_t b = 0; b < nblocks; b++) {
            last = peer_block(&p, x + b * o.block, o.block);
            total += last;
        }
        pass_s[pass] = now_s() - t0;
        pass_s[o.passes + pass] = cpu_s() - c0;
    }
    print_times("liquid", "ddcr", rate, &o, pass_s, pass_s + o.passes, (double)o.samples);
    printf(", \"outputs_per_pass\": %zu, \"dc_purity\": %.6f, \"design\": \"%s\", \"liquid_version\": \"%s\"}\n",
           total, dc_purity((const float *)p.out, last), design, liquid_libversion());

    firhilbf_destroy(p.hilb);
    nco_crcf_destroy(p.nco);
    if (p.hb)
        msresamp2_crcf_destroy(p.hb);
    if (p.arb)
        msresamp_crcf_destroy(p.arb);
    free(p.mid);
    free(p.out);
    free(x);
    free(pass_s);
    return 0;
}
