// Translating decimator kernel for AVX2 with FMA: four registers of eight
// periods per row.
#include "isa_avx2.h"
#include "nco_simd.h"
#include "xlate_simd.h"

namespace {
constexpr size_t kV = 4;
}

#include "xlate_body.inc"

const xlate_kernels xlate_kernels_avx2 = {_x_run};
