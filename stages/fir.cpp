#include "fir.h"
