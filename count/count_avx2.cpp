// The AVX2 path of the counter: registers twice as wide. Reads and the count
// share the machine's memory and cores, so a count that takes half as long
// leaves the reads more. Only ever called when CpuHasAvx2() says so; this
// file alone is compiled with AVX2 enabled.
#include "count_avx2.h"

#if COUNT_HAVE_AVX2
#include <immintrin.h>

#include "count_lanes.h"

struct Avx2Lanes {
    typedef __m256i Vector;
    static Vector Zero() { return _mm256_setzero_si256(); }
    static Vector Splat(char ch) { return _mm256_set1_epi8(ch); }
    static Vector Load(const unsigned char *pb) { return _mm256_loadu_si256((const __m256i *)pb); }
    static Vector Equal(Vector a, Vector b) { return _mm256_cmpeq_epi8(a, b); }
    static Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
    static Vector Sub(Vector a, Vector b) { return _mm256_sub_epi8(a, b); }
    static int Any(Vector v) { return _mm256_movemask_epi8(v) != 0; }
    static unsigned long long Fold(Vector acc)
    {
        // Sums the 32 byte lanes into four 64-bit quarters, then adds those;
        // each holds at most 8 * 255, so their low 32 bits hold it all.
        __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
        __m128i halves =
            _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return (unsigned long long)(unsigned)_mm_cvtsi128_si32(halves) +
               (unsigned long long)(unsigned)_mm_cvtsi128_si32(_mm_srli_si128(halves, 8));
    }
};

int CountBlockAvx2(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    return CountBlockLanes<Avx2Lanes>(pb, cb, pCount);
}
#endif
