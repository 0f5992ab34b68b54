#include "cic_kernel.h"
