// Counting the space bytes (0x20) of a file as the C runtime's text mode
// would deliver it: every byte up to the first 0x1A (Ctrl-Z), which text mode
// takes as the end of the file. CR LF pairs shrink to LF there, which cannot
// change a count of 0x20, so the file is read in binary mode, in blocks.
#pragma once

#include <stddef.h>
#include <stdio.h>

// Block size of the reads: large enough that the runtime reads straight into
// our buffer, small enough for the service thread's stack.
static const size_t COUNT_BLOCK_SIZE = 64 * 1024;

enum CountStatus {
    CountDone,      // end of file or the first 0x1A reached; the count is whole
    CountReadError, // the stream reported an error; the count is not to be used
    CountStopped    // *plStop was raised; abandoned between two blocks
};

// Adds the spaces of pb[0..cb) to *pCount up to the first 0x1A; returns
// nonzero when a 0x1A ended the count. Chooses the fastest path the processor
// has.
int CountBlock(const unsigned char *pb, size_t cb, unsigned long long *pCount);

// The same, one byte at a time: the reference the fast paths must equal.
int CountBlockScalar(const unsigned char *pb, size_t cb, unsigned long long *pCount);

// Counts a whole stream opened in binary mode, from its current position.
// Looks at *plStop between blocks and gives up once it is nonzero, so that a
// stop never waits for a huge file.
CountStatus CountStream(FILE *fp, unsigned long long *pCount, const volatile long *plStop);

// Opens the file read-only and counts its space bytes as text mode sees
// them. Returns nonzero with *pCount set when the file was opened and read to
// its end; zero when it could not be opened or read, or a stop was requested.
int CountSpaces(const char *path, unsigned long long *pCount);
