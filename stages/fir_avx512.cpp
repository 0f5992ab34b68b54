/*
 * FIR kernels for AVX-512 (F, VL, BW, DQ): the loops of fir_body.inc on
 * 16-float registers (eight consecutive outputs, re/im interleaved). The tail
 * of a block uses zero-masked loads and masked stores with a 16-bit mask.
 */
#include "fir_simd.h"
#include "isa_avx512.h"

namespace {
using V = Isa;
}  // namespace

#include "fir_body.inc"

const fir_kernels fir_kernels_avx512 = {_fir_run<8>};
