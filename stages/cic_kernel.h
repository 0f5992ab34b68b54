/* Library-internal: the CIC decimation kernel (not exported). */
#ifndef DDC_STAGES_CIC_KERNEL_H
#define DDC_STAGES_CIC_KERNEL_H

#include "cic.h"

DDC_EXTERN_C_BEGIN

/* Decimates n samples; out needs room for floor((counter + n) / R) samples. Returns that count. */
size_t cic_decimate(cic_state_t *s, const cf32_t *in, size_t n, cf32_t *out);

DDC_EXTERN_C_END

#endif
