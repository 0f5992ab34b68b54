/*
 * FIR kernels for NEON: the loops of fir_body.inc on 4-float registers (two
 * consecutive outputs, re/im interleaved); the block tail goes lane by lane.
 */
#include "fir_simd.h"
#include "isa_neon.h"

namespace {
using V = Isa;
}  // namespace

#include "fir_body.inc"

const fir_kernels fir_kernels_neon = {_fir_run<4>};
