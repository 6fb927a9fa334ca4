#include "safe_whoami.h"
