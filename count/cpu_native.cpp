// Builds other than Windows (the native checks) take what the compiler was told.
#include "cpu.h"

int CpuHasSse2(void)
{
#if defined(__SSE2__)
    return 1;
#else
    return 0;
#endif
}
