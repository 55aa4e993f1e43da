// Windows answers the processor question for us, whatever the compiler.
#include <windows.h>

#include "cpu.h"

// Older headers lack it; Windows before 10 answers FALSE, and gets SSE2.
#ifndef PF_AVX2_INSTRUCTIONS_AVAILABLE
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
#endif

int CpuHasSse2(void)
{
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) ? 1 : 0;
}

int CpuHasAvx2(void)
{
    return IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) ? 1 : 0;
}
