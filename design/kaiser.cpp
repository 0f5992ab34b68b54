#include "kaiser.h"
