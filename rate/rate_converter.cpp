#include "rate_converter.h"
