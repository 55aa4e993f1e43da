// Counting the space bytes (0x20) of a file as the C runtime's text mode
// would deliver it: every byte up to the first 0x1A (Ctrl-Z), which text mode
// takes as the end of the file. CR LF pairs shrink to LF there, which cannot
// change a count of 0x20, so the file is read in binary mode, in blocks.
#pragma once

#include <stddef.h>

// Bytes of one read. Large enough that a call's own cost is small beside its
// copy (under Wine reads of 2 MiB ran faster than smaller ones), and one
// buffer per worker, two in all, keeps within the 4 MiB the counter holds.
static const size_t COUNT_BLOCK_SIZE = 2 * 1024 * 1024;

// A file of this many bytes or more is read by two workers, each reading and
// counting blocks of its own; a smaller one by the caller's thread alone:
// starting and joining a second costs 1.2 to 1.5 ms under Wine, which two
// workers made good at 64 MiB but not at 32 (measured on two cores).
static const unsigned long long COUNT_HELPER_MIN_BYTES = 64 * 1024 * 1024;

// The longest name, in bytes without its NUL, that callers pass; a longer one
// is refused, never cut.
static const size_t OPEN_PATH_MAX_CHARS = 512;

// Adds the spaces of pb[0..cb) to *pCount up to the first 0x1A; returns
// nonzero when a 0x1A ended the count. Chooses the fastest path the processor
// has.
int CountBlock(const unsigned char *pb, size_t cb, unsigned long long *pCount);

// The same, one byte at a time: the reference the fast paths must equal.
int CountBlockScalar(const unsigned char *pb, size_t cb, unsigned long long *pCount);

// Opens the named file read-only and counts its space bytes as text mode sees
// them. Gives up between blocks once StopRequested is raised, so that a stop
// never waits for a huge file. Returns nonzero with *pCount set when the file
// was opened and read to its end (or its first 0x1A); zero when it could not
// be opened or read, is not a file on a drive or a share (a pipe, a device, a
// volume), or a stop ended the count. One file at a time: further callers
// wait.
int CountSpaces(const char *path, unsigned long long *pCount);
