// CIC decimator kernel variant (in progress).
#include "cic_simd.h"
