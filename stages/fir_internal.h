/* Library-internal FIR operations (not exported). */
#ifndef DDC_STAGES_FIR_INTERNAL_H
#define DDC_STAGES_FIR_INTERNAL_H

#include "fir.h"

DDC_EXTERN_C_BEGIN

/*
 * Grows the work area so that a following fir_execute of at most n samples
 * allocates nothing. 0 on success (also for n = 0) and -1 when the area cannot
 * grow; then the old area, the history and every output stay as they were.
 * Needs a live handle.
 */
int fir_reserve(fir_state_t *s, size_t n);

DDC_EXTERN_C_END

#endif
