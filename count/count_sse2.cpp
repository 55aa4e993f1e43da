// One pass that counts 0x20 and watches for 0x1A together: a
// second pass (memchr) for 0x1A would halve the speed. Only ever called when
// CpuHasSse2() says so; this file alone is compiled with SSE2 enabled.
#include "count_sse2.h"
#include "count.h"

#if COUNT_HAVE_SSE2
#include <emmintrin.h>

// Each byte lane of the accumulator gains at most 4 per chunk, so it must be
// folded into the total before 256 / 4 chunks.
static const size_t CHUNKS_PER_FOLD = 63;

static unsigned long long FoldLanes(__m128i acc)
{
    // Sums the 16 byte lanes into two 64-bit halves.
    __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    return (unsigned long long)(unsigned)_mm_cvtsi128_si32(sums) +
           (unsigned long long)(unsigned)_mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
}

int CountBlockSse2(const unsigned char *pb, size_t cb, unsigned long long *pCount)
{
    const __m128i vSpace = _mm_set1_epi8(0x20);
    const __m128i vEnd = _mm_set1_epi8(0x1A);
    unsigned long long total = 0;
    size_t i = 0;

    // A 0x1A is rare: it is gathered over a whole group of chunks and tested
    // once per group; the group that holds one is recounted byte by byte.
    while (cb - i >= 64) {
        __m128i acc = _mm_setzero_si128();
        __m128i ends = _mm_setzero_si128();
        size_t iGroup = i;
        for (size_t nChunks = 0; nChunks < CHUNKS_PER_FOLD && cb - i >= 64; ++nChunks, i += 64) {
            __m128i a = _mm_loadu_si128((const __m128i *)(pb + i));
            __m128i b = _mm_loadu_si128((const __m128i *)(pb + i + 16));
            __m128i c = _mm_loadu_si128((const __m128i *)(pb + i + 32));
            __m128i d = _mm_loadu_si128((const __m128i *)(pb + i + 48));
            ends = _mm_or_si128(ends, _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(a, vEnd), _mm_cmpeq_epi8(b, vEnd)),
                _mm_or_si128(_mm_cmpeq_epi8(c, vEnd), _mm_cmpeq_epi8(d, vEnd))));
            // A match is 0xFF, that is -1: subtracting it adds one.
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(a, vSpace));
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(b, vSpace));
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(c, vSpace));
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(d, vSpace));
        }
        if (_mm_movemask_epi8(ends) != 0) {
            i = iGroup;
            break;
        }
        total += FoldLanes(acc);
    }

    *pCount += total;
    return CountBlockScalar(pb + i, cb - i, pCount);
}
#endif
