// The SSE2 path's pass on registers twice as wide. Reads and the count share
// the machine's memory and cores: a count that takes half as long leaves the
// reads more (measured under Wine: about a tenth more of the plain read's
// pace). Only ever called when CpuHasAvx2() says so; this file alone is
// compiled with AVX2 enabled.
#include "count_avx2.h"
#include "count.h"

#if COUNT_HAVE_AVX2
#include <immintrin.h>

// Each byte lane of the accumulator gains at most 4 per chunk, so it must be
// folded into the total before 256 / 4 chunks.
static const size_t AVX2_CHUNKS_PER_FOLD = 63;

static unsigned long long FoldLanes(__m256i acc)
{
    // Sums the 32 byte lanes into four 64-bit quarters, then those; each
    // quarter holds at most 8 * 255, so the low 32 bits of each hold it all.
    __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return (unsigned long long)(unsigned)_mm_cvtsi128_si32(halves) +
           (unsigned long long)(unsigned)_mm_cvtsi128_si32(_mm_srli_si128(halves, 8));
}

int CountBlockAvx2(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    const __m256i vSpace = _mm256_set1_epi8(0x20);
    const __m256i vEnd = _mm256_set1_epi8(0x1A);
    unsigned long long total = 0;
    size_t i = 0;

    // A 0x1A is rare: it is gathered over a whole group of chunks and tested
    // once per group; the group that holds one is recounted byte by byte.
    while (cb - i >= 128) {
        __m256i acc = _mm256_setzero_si256();
        __m256i ends = _mm256_setzero_si256();
        size_t iGroup = i;
        for (size_t nChunks = 0; nChunks < AVX2_CHUNKS_PER_FOLD && cb - i >= 128;
             ++nChunks, i += 128) {
            __m256i a = _mm256_loadu_si256((const __m256i *)(pb + i));
            __m256i b = _mm256_loadu_si256((const __m256i *)(pb + i + 32));
            __m256i c = _mm256_loadu_si256((const __m256i *)(pb + i + 64));
            __m256i d = _mm256_loadu_si256((const __m256i *)(pb + i + 96));
            ends = _mm256_or_si256(ends, _mm256_or_si256(
                _mm256_or_si256(_mm256_cmpeq_epi8(a, vEnd), _mm256_cmpeq_epi8(b, vEnd)),
                _mm256_or_si256(_mm256_cmpeq_epi8(c, vEnd), _mm256_cmpeq_epi8(d, vEnd))));
            // A match is 0xFF, that is -1: subtracting it adds one.
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(a, vSpace));
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(b, vSpace));
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(c, vSpace));
            acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(d, vSpace));
        }
        if (_mm256_movemask_epi8(ends) != 0) {
            i = iGroup;
            break;
        }
        total += FoldLanes(acc);
    }
    *pCount += total;
    return CountBlockScalar(pb + i, cb - i, pCount);
}
#endif
