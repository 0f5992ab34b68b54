// Translating decimator kernel for AVX-512: 32 registers, twelve of lane
// sums per part.
#include "isa_avx512.h"
#include "nco_simd.h"
#include "xlate_simd.h"

namespace {
constexpr size_t kRegs = 12;  // sums of lanes held beside the loads
constexpr size_t kRows = kXlateGroup;
}

#include "xlate_body.inc"

const xlate_kernels xlate_kernels_avx512 = {_x_run};
