// Translating decimator kernel for NEON: eight registers of four periods per
// row.
#include "isa_neon.h"
#include "nco_simd.h"
#include "xlate_simd.h"

namespace {
constexpr size_t kV = 8;
}

#include "xlate_body.inc"

const xlate_kernels xlate_kernels_neon = {_x_run};
