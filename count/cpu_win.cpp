// Windows answers the processor question for us, whatever the compiler.
#include <windows.h>

#include "cpu.h"

int CpuHasSse2(void)
{
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) ? 1 : 0;
}
