/* Compiled as strict C11: every public header must be plain C. */
#include "stages/ddc_types.h"
#include "stages/lo.h"
#include "stages/nco.h"
#include "stages/hbdecim_r2c.h"
#include "stages/hbdecim.h"
#include "stages/cic.h"
#include "stages/fir.h"
#include "stages/resamp.h"
#include "stages/presamp.h"
#include "stages/xlate.h"
#include "design/ciccomp.h"
#include "design/kaiser.h"
#include "design/halfband.h"
#include "rate/rate_converter.h"
#include "ddc/ddcr.h"
#include "ddc/ddc.h"
#include "ddc/chanbank.h"
#include "stages/simd.h"

_Static_assert(sizeof(cf32_t) == 2 * sizeof(float), "cf32_t is two packed floats");

int ddc_header_check_c(void) { return 0; }
