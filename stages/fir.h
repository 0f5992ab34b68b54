/*
 * Direct-form FIR filter for complex blocks with real or complex taps. Keeps the
 * last L-1 inputs between calls; filters through one growable [history | block]
 * work area, so in-place filtering (in == out) is safe. One thread per handle.
 */
#ifndef DDC_STAGES_FIR_H
#define DDC_STAGES_FIR_H

#include "ddc_types.h"

DDC_EXTERN_C_BEGIN

typedef struct fir_state fir_state_t;

/* Copies L complex taps; null for null taps, L = 0 or an exhausted allocation. */
DDC_API fir_state_t *fir_create(const cf32_t *taps, size_t num_taps);
/* Copies L real taps (each scales both components). */
DDC_API fir_state_t *fir_create_real(const float *taps, size_t num_taps);
/* Releases taps, history, work area and handle; null is accepted. */
DDC_API void fir_destroy(fir_state_t *s);
/* Zero history; the work area stays allocated. Needs a live handle, as do the getters. */
DDC_API void fir_reset(fir_state_t *s);
/* Tap count L. */
DDC_API size_t fir_get_num_taps(const fir_state_t *s);
/* 1 for real taps, 0 for complex taps. */
DDC_API int fir_get_is_real(const fir_state_t *s);
/* Current capacity of the work area in complex samples (0 before the first block). */
DDC_API size_t fir_get_work_cap(const fir_state_t *s);
/* Always 0 (no bound): fir_execute writes exactly as many samples as it reads. */
DDC_API size_t fir_execute_max_out(void);
/* Filters n samples into out (room for n; may equal in). Returns n, or 0 when
   n = 0, a pointer is null or the work area cannot grow (nothing consumed). */
DDC_API size_t fir_execute(fir_state_t *s, const cf32_t *in, size_t n, cf32_t *out);

DDC_EXTERN_C_END

#endif
