#include "strlcpy.h"
