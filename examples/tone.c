/*
 * Down-convert a generated tone with the quorvel_ddc native interface.
 *
 * A real 6 kHz tone sampled at 48 kHz goes through a DDCR tuned to 6 kHz and
 * decimated to 6 kHz, in blocks of varying size as a receiver would deliver
 * them. The tone should land at 0 Hz: the program prints the output count,
 * the residual frequency (mean phase step between consecutive outputs) and
 * the amplitude once the filters have settled. Plain C11.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <quorvel_ddc.h>

#define FS_IN 48000.0    /* input sample rate, Hz */
#define CARRIER 6000.0   /* tone frequency, Hz */
#define RATE 0.125       /* fs_out / fs_in */
#define N_IN 48000       /* one second of input */
#define MAX_BLOCK 4096   /* longest block handed to ddcr_execute */
#define SETTLE 64        /* outputs skipped while the filters fill */

int main(void)
{
    const double pi = 3.14159265358979323846;
    /* A real carrier at f (cycles per input sample) reaches 0 Hz with -(2 f + 0.5). */
    const double norm_freq = -(2.0 * (CARRIER / FS_IN) + 0.5);
    static const size_t blocks[] = {1000, 7, MAX_BLOCK, 333};
    /* The capacity that always suffices for a block of MAX_BLOCK inputs. */
    const size_t cap = ddcr_execute_capacity(MAX_BLOCK);
    float *x = malloc(MAX_BLOCK * sizeof *x);
    cf32_t *y = malloc(cap * sizeof *y);
    ddcr_state_t *ddc = ddcr_create(norm_freq, RATE);
    size_t i, k, n_out = 0, pos = 0, used = 0;
    double re = 0.0, im = 0.0, mag = 0.0;
    cf32_t prev = {0.0f, 0.0f};
    int status = 1;

    if (!x || !y || !ddc) {
        fprintf(stderr, "tone: cannot create the down-converter\n");
        goto done;
    }
    for (k = 0; pos < N_IN; ++k) {
        size_t n = blocks[k % 4], got;
        if (n > N_IN - pos)
            n = N_IN - pos;
        for (i = 0; i < n; ++i)
            x[i] = (float)(0.5 * cos(2.0 * pi * CARRIER / FS_IN * (double)(pos + i)));
        got = ddcr_execute(ddc, x, n, y, cap);
        for (i = 0; i < got; ++i, ++n_out) {
            if (n_out > SETTLE) {
                /* y * conj(prev): its angle is the phase step per output sample */
                re += (double)y[i].re * prev.re + (double)y[i].im * prev.im;
                im += (double)y[i].im * prev.re - (double)y[i].re * prev.im;
                mag += sqrt((double)y[i].re * y[i].re + (double)y[i].im * y[i].im);
                ++used;
            }
            prev = y[i];
        }
        pos += n;
    }
    if (used == 0) {
        fprintf(stderr, "tone: only %zu output samples\n", n_out);
        goto done;
    }
    printf("input: %d samples at %.0f Hz, tone at %.0f Hz\n", N_IN, FS_IN, CARRIER);
    printf("output: %zu samples at %.0f Hz\n", n_out, FS_IN * RATE);
    printf("residual frequency: %.4f Hz\n", atan2(im, re) / (2.0 * pi) * FS_IN * RATE);
    printf("amplitude: %.4f\n", mag / (double)used);
    status = 0;
done:
    ddcr_destroy(ddc);
    free(y);
    free(x);
    return status;
}
