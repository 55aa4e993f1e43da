// The counter: the space bytes (0x20) of a block as the C runtime's text mode
// would deliver them: every byte up to the first 0x1A (Ctrl-Z), which text
// mode takes as the end of the file. CR LF pairs shrink to LF there, which
// cannot change a count of 0x20, so files are read in binary mode.
#pragma once

#include <stddef.h>

// Adds the spaces of pb[0..cb) to *pCount up to the first 0x1A; returns
// nonzero when a 0x1A ended the count. Chooses the fastest path the processor
// has.
int CountBlock(const unsigned char *pb, size_t cb, unsigned long long *pCount);

// The same, one byte at a time: the path the fast ones fall back on.
int CountBlockScalar(const unsigned char *pb, size_t cb, unsigned long long *pCount);
