#include "strlcat.h"
