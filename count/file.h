// Counting the space bytes of a named file, as text mode sees them.
#pragma once

#include <stddef.h>

// Bytes of one read: large enough that a call's own cost is small beside its
// copy, and one buffer per worker keeps within the 4 MiB the counter may
// hold (docs/design.md has the figures).
static const size_t COUNT_BLOCK_SIZE = 2 * 1024 * 1024;

// A file of this many bytes or more is read by two workers, each reading and
// counting blocks of its own; a smaller one by the caller's thread alone,
// as below it a second worker costs more to start and join than it saves.
static const unsigned long long COUNT_HELPER_MIN_BYTES = 64 * 1024 * 1024;

// Opens the named file read-only and counts its space bytes as text mode sees
// them. Gives up between blocks once StopRequested is raised, so that a stop
// never waits for a huge file. Returns nonzero with *pCount set when the file
// was opened and read to its end (or its first 0x1A); zero when it could not
// be opened or read, is not a file on a drive or a share (a pipe, a device, a
// volume), or a stop ended the count. One file at a time: further callers
// wait.
int CountSpaces(const char *path, unsigned long long *pCount);
