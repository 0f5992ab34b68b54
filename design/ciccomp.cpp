#include "ciccomp.h"
