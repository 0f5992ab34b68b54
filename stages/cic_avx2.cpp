/*
 * CIC decimation kernel for AVX2 with FMA: the shared kernel of cic_body.inc
 * on its eight-lane traits.
 */
#include "cic_simd.h"
#include "isa_avx2.h"

#include "cic_body.inc"

const cic_kernels cic_kernels_avx2 = {_cic_run<Lanes8>};
