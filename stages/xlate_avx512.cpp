// Translating decimator kernel for AVX-512: two registers of sixteen periods
// per row.
#include "isa_avx512.h"
#include "nco_simd.h"
#include "xlate_simd.h"

namespace {
constexpr size_t kV = 4;
}

#include "xlate_body.inc"

const xlate_kernels xlate_kernels_avx512 = {_x_run};
