// The plain ways to count spaces that the fast counter must always agree with.
#pragma once

#include <stddef.h>

// Text mode, one fgetc at a time, feof tested before each read. Returns
// nonzero with *pCount set when the file was opened; zero otherwise.
int CountSpacesByteLoop(const char *path, long long *pCount);

// The same rule on bytes in memory, said as a search: the spaces among what
// text mode delivers, the bytes before the first 0x1A. *pfEnd, if given, is
// set to whether there was one.
unsigned long long CountSpacesBeforeCtrlZ(const unsigned char *pb, size_t cb, int *pfEnd = NULL);
