// What the opener takes: a name of at most this many bytes of the ANSI code
// page, without its NUL; a longer one is refused, never cut.
#pragma once

#include <stddef.h>

static const size_t OPEN_PATH_MAX_BYTES = 512;
