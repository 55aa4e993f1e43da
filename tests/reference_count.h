// The plain way to count spaces that the fast counter must always agree with:
// text mode, one fgetc at a time, feof tested before each read.
#pragma once

// Returns nonzero with *pCount set when the file was opened; zero otherwise.
int CountSpacesByteLoop(const char *path, long long *pCount);
