// The counter: one fused pass over each block.
#include "count.h"
#include "count_avx2.h"
#include "count_sse2.h"
#include "cpu.h"

int CountBlockScalar(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    unsigned long long count = 0;
    for (size_t i = 0; i < cb; ++i) {
        if (pb[i] == 0x1A) {
            *pCount += count;
            return 1;
        }
        count += (pb[i] == 0x20);
    }
    *pCount += count;
    return 0;
}

int CountBlock(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    // Asked once: the answers cannot change while the process runs.
#if COUNT_HAVE_AVX2
    static const int fAvx2 = CpuHasAvx2();
    if (fAvx2)
        return CountBlockAvx2(pb, cb, pCount);
#endif
#if COUNT_HAVE_SSE2
    static const int fSse2 = CpuHasSse2();
    if (fSse2)
        return CountBlockSse2(pb, cb, pCount);
#endif
    return CountBlockScalar(pb, cb, pCount);
}
