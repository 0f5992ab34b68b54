#include "hbdecim_r2c.h"
