#include "lo.h"
