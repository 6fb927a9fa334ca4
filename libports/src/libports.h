/* The portability layer: every facility in one include. */
#ifndef LIBPORTS_H
#define LIBPORTS_H

#include "fast_stream.h"
#include "safe_manpage.h"
#include "safe_path.h"
#include "safe_stdfds.h"
#include "safe_whoami.h"
#include "self_relocate.h"
#include "size_value.h"
#include "strlcat.h"
#include "strlcpy.h"

#endif
