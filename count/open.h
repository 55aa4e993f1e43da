// Opening a file that a client names: the one step of counting that must ask
// the platform, kept behind a seam so the counter needs no platform header.
#pragma once

#include <stddef.h>
#include <stdio.h>

// The longest name, in bytes without its NUL, that callers pass; a longer one
// is refused, never cut.
static const size_t OPEN_PATH_MAX_CHARS = 512;

// Opens path read-only in binary mode, or returns NULL when it cannot be
// opened or is not a file on a drive or a share (a pipe, a device, a volume).
FILE *OpenCountFile(const char *path);
