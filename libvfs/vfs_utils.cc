#include "vfs_utils.h"
