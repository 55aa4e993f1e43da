// The SSE2 path of the counter; built only where the compiler offers SSE2.
#pragma once

#include <stddef.h>

#if defined(__SSE2__) || defined(_M_IX86) || defined(_M_X64)
#define COUNT_HAVE_SSE2 1
int CountBlockSse2(const unsigned char *pb, size_t cb, unsigned long long *pCount);
#else
#define COUNT_HAVE_SSE2 0
#endif
