// The SSE2 path of the counter. Only ever called when CpuHasSse2() says so;
// this file alone is compiled with SSE2 enabled.
#include "count_sse2.h"

#if COUNT_HAVE_SSE2
#include <emmintrin.h>

#include "count_lanes.h"

struct Sse2Lanes {
    typedef __m128i Vector;
    static Vector Zero() { return _mm_setzero_si128(); }
    static Vector Splat(char ch) { return _mm_set1_epi8(ch); }
    static Vector Load(const unsigned char *pb) { return _mm_loadu_si128((const __m128i *)pb); }
    static Vector Equal(Vector a, Vector b) { return _mm_cmpeq_epi8(a, b); }
    static Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
    static Vector Sub(Vector a, Vector b) { return _mm_sub_epi8(a, b); }
    static int Any(Vector v) { return _mm_movemask_epi8(v) != 0; }
    static unsigned long long Fold(Vector acc)
    {
        // Sums the 16 byte lanes into two 64-bit halves.
        __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
        return (unsigned long long)(unsigned)_mm_cvtsi128_si32(sums) +
               (unsigned long long)(unsigned)_mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
};

int CountBlockSse2(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    return CountBlockLanes<Sse2Lanes>(pb, cb, pCount);
}
#endif
