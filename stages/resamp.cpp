#include "resamp.h"
