#include "fast_stream.h"
