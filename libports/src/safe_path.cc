#include "safe_path.h"
