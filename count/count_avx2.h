// The AVX2 path of the counter; built only for x86 and x64, whose compilers
// all offer AVX2 to the one file that asks for it.
#pragma once

#include <stddef.h>

#if defined(_M_IX86) || defined(_M_X64) || defined(__i386__) || defined(__x86_64__)
#define COUNT_HAVE_AVX2 1
int CountBlockAvx2(const unsigned char *pb, size_t cb, unsigned long long *pCount);
#else
#define COUNT_HAVE_AVX2 0
#endif
