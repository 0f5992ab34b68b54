/*
 * FIR kernels for AVX2 with FMA: the loops of fir_body.inc on 8-float
 * registers (four consecutive outputs, re/im interleaved). The tail of a
 * block uses maskload/maskstore with an integer lane mask.
 */
#include "fir_simd.h"
#include "isa_avx2.h"

namespace {
using V = Isa;
}  // namespace

#include "fir_body.inc"

const fir_kernels fir_kernels_avx2 = {_fir_run<4>};
