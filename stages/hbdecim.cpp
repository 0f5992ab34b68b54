#include "hbdecim.h"
