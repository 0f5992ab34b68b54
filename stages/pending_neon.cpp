// The families without NEON kernels yet: empty tables, so they run their
// scalar kernels at the NEON level.
#include "presamp_simd.h"
#include "resamp_simd.h"

const presamp_kernels presamp_kernels_neon = {};
const resamp_kernels resamp_kernels_neon = {};
