#include "ddcr.h"
