/* Library-internal rate-converter operations used by the front ends (not exported). */
#ifndef DDC_RATE_RATE_CONVERTER_INTERNAL_H
#define DDC_RATE_RATE_CONVERTER_INTERNAL_H

#include "rate_converter.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

DDC_EXTERN_C_BEGIN

/*
 * Room for n complex samples, for the front ends' and the converter's scratch
 * blocks: on whole cache lines and half a page into a page. malloc puts a large
 * block 16 bytes into a page, where every other 32-byte store of a stage split
 * a line; and a stage that writes in step with what it reads (a caller's
 * input, often itself 16 bytes into a page) should not meet its loads 4 KiB
 * apart. Null when n is 0 or too large or the allocation fails; released by
 * ddc_free_lines.
 */
static inline cf32_t *ddc_alloc_lines(size_t n)
{
    const size_t off = 2048;
    if (n == 0 || n > (SIZE_MAX - off - 4095) / sizeof(cf32_t))
        return NULL;
    char *base = (char *)aligned_alloc(4096, (off + n * sizeof(cf32_t) + 4095) / 4096 * 4096);
    if (!base)
        return NULL;
    memcpy(base + off - sizeof base, &base, sizeof base);
    return (cf32_t *)(base + off);
}

static inline void ddc_free_lines(cf32_t *p)
{
    if (p) {
        char *base;
        memcpy(&base, (char *)p - sizeof base, sizeof base);
        free(base);
    }
}

/*
 * Makes the memory of a block of at most n samples ready, so that a following
 * RateConverter_execute with such a block allocates nothing: both ping-pong
 * scratch buffers (at least n samples, and at least what any stage but the
 * last can write) and each stage's own memory (the compensation FIR's work
 * area), stage i for the output bound of the stages before it (see
 * RateConverter_capacity). Returns 0 on success (also for an empty converter)
 * and -1 when an allocation failed; no stage has run and no history changed.
 * A failed scratch allocation leaves both buffers released and the capacity 0;
 * a stage that cannot grow keeps its old memory. Needs a live handle.
 */
int RateConverter_reserve(RateConverter *rc, size_t n);

/*
 * An output capacity with which a block of n input samples loses nothing,
 * whatever the state of the stages: each stage's worst case, composed in
 * processing order (the bound of one stage is the input count of the next):
 *   half-band                      floor((n + 1) / 2)      (a held-over sample)
 *   CIC(R), with or without FIR    floor((n + R - 1) / R)  (counter R - 1)
 *   resampler, rate exactly 1      n
 *   resampler, decimating          floor(((n-1)*s + 2^32 - 1) / 2^32) + 1
 *                                  (phase 2^32 - 1; one more than the first n-1
 *                                  inputs can make, since it stops when full)
 *   resampler, interpolating       ceil(n * 2^32 / s)      (phase 0; SIZE_MAX if s = 0)
 * with s the resampler's phase step; every stage gives 0 for n = 0 and each
 * term saturates at SIZE_MAX. 0 for an empty converter. Below rate 1 the
 * result never exceeds max(n, 2). Needs a live handle.
 */
size_t RateConverter_capacity(const RateConverter *rc, size_t n);

DDC_EXTERN_C_END

#ifdef __cplusplus
#include "../stages/nco.h"

/*
 * nco_mix(nco, in, n, work) followed by RateConverter_execute(rc, work, n,
 * out, cap): the same bytes, the same states left. Where the first stage is a
 * half-band whose vector kernel can mix, it reads in itself and work is not
 * touched. work has room for n samples and may be in itself.
 */
size_t RateConverter_execute_nco(RateConverter *rc, const cf32_t *in, size_t n, cf32_t *work, cf32_t *out,
                                 size_t cap, nco_state_t *nco) noexcept;
#endif

#endif
