/*
 * Fourth-order CIC decimator (differential delay 1) for complex blocks, with a
 * power-of-two ratio R from 2 to 4096. Each component is quantised to 16 bits
 * (x*32768, clamped, truncated toward zero, NaN as 0), lifted by 32768, filtered
 * in exact unsigned 64-bit wrap-around arithmetic, shifted right by 4*log2(R)
 * and mapped back to [-1, 1). One thread per handle.
 */
#ifndef DDC_STAGES_CIC_H
#define DDC_STAGES_CIC_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct cic_state cic_state_t;

/* Null unless ratio is a power of two in 2..4096, or when allocation fails. */
DDC_API cic_state_t *cic_create(uint32_t ratio);
/* Releases the handle; null is accepted. */
DDC_API void cic_destroy(cic_state_t *s);
/* Zero integrators, combs and counter; ratio kept. Needs a live handle, as do reconfigure and the getters. */
DDC_API void cic_reset(cic_state_t *s);
/* A valid ratio replaces the old one and restarts from zero state; an invalid one changes nothing. */
DDC_API void cic_reconfigure(cic_state_t *s, uint32_t ratio);
/* Always 0 (no bound): the kernel writes floor((counter + n) / R) <= n samples. */
DDC_API size_t cic_decimate_max_out(void);
/*
 * Bounded run of the decimation kernel for callers that hold a fixed output
 * buffer: consumes min(n, cap*R - counter) input samples, i.e. stops right
 * after the input that produces output number cap, and writes at most cap
 * samples to out. Unconsumed inputs are left to the caller (the entry counter
 * from cic_get_counter tells how many were taken). Returns the samples
 * written; 0 without touching the state when s, in or out is null, n = 0 or
 * cap = 0.
 */
DDC_API size_t cic_execute(cic_state_t *s, const cf32_t *in, size_t n, cf32_t *out, size_t cap);
DDC_API uint32_t cic_get_ratio(const cic_state_t *s);
/* 4*log2(R): the output shift. */
DDC_API uint32_t cic_get_shift(const cic_state_t *s);
/* Input samples consumed since the last output, 0..R-1. */
DDC_API uint32_t cic_get_counter(const cic_state_t *s);

DDC_EXTERN_C_END

#endif
