#include "ddc.h"
