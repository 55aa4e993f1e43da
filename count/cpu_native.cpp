// Builds other than Windows (the native checks): SSE2 as the compiler was told;
// AVX2 as gcc and clang find it at run time, so that these checks run the
// path a Windows machine with it runs.
#include "cpu.h"

int CpuHasSse2(void)
{
#if defined(__SSE2__)
    return 1;
#else
    return 0;
#endif
}

int CpuHasAvx2(void)
{
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
    return __builtin_cpu_supports("avx2") ? 1 : 0;
#else
    return 0;
#endif
}
