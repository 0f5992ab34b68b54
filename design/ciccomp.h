/*
 * CIC droop compensation design, double precision, run at creation time only.
 *
 * ciccompmf: a symmetric FIR of ntaps taps (1..19) that compensates the droop of
 * an order-N, ratio-R CIC near DC: unit DC gain and prescribed even-order
 * derivatives at DC, solved by Gaussian elimination with partial pivoting.
 * Writes all ntaps elements of taps; a count outside 1..19 gives zeros
 * (nothing is written for 0). Allocates nothing; thread-safe.
 */
#ifndef DDC_DESIGN_CICCOMP_H
#define DDC_DESIGN_CICCOMP_H

#include "../stages/ddc_types.h"

DDC_EXTERN_C_BEGIN

DDC_API void ciccompmf(double *taps, uint32_t order, uint32_t ratio, uint32_t ntaps);

DDC_EXTERN_C_END

#endif
