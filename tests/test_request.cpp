// The counter, without the pipe or any platform header: these run on Windows
// under Wine and natively under the sanitizers. Request handling (bounding,
// "exit", the replies' formats) is held to its rules by fuzz/fuzz_request.cpp,
// over its seeds and beyond, and end to end by the pipe's and client's cases.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "count/count.h"
#include "count/file.h"
#include "count/count_avx2.h"
#include "count/count_sse2.h"
#include "count/cpu.h"

namespace {

unsigned long long CountBytes(const std::string &bytes)
{
    unsigned long long count = 0;
    CountBlock((const unsigned char *)bytes.data(), bytes.size(), &count);
    return count;
}

// A deterministic generator, so a failure names a reproducible case.
unsigned NextRandom(unsigned *pSeed)
{
    *pSeed = *pSeed * 1103515245u + 12345u;
    return *pSeed >> 16;
}

std::string RandomBytes(unsigned *pSeed, size_t cb, bool fWithEnd)
{
    static const unsigned char interesting[] = {0x20, 0x20, 0x20, '\r', '\n', 0xA0, '\t', 'a'};
    std::string bytes(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
        unsigned r = NextRandom(pSeed);
        bytes[i] = (r % 4 == 0) ? (char)(r >> 8) : (char)interesting[(r >> 8) % sizeof interesting];
        if (!fWithEnd && bytes[i] == 0x1A)
            bytes[i] = 0x20;
    }
    return bytes;
}

// The fast paths work on chunks of four registers (64 bytes for SSE2, 128 for
// AVX2): a 0x1A or a space on either side of
// every chunk and lane edge, in blocks of every small size.
TEST(CountBlock, EqualsTheByteLoopAtEveryEdge)
{
    for (size_t cb = 0; cb <= 200; ++cb) {
        std::string spaces(cb, ' ');
        ASSERT_EQ(cb, CountBytes(spaces)) << "size " << cb;
        for (size_t iEnd = 0; iEnd < cb; ++iEnd) {
            std::string bytes = spaces;
            bytes[iEnd] = 0x1A;
            ASSERT_EQ(iEnd, CountBytes(bytes)) << "size " << cb << ", 0x1A at " << iEnd;
        }
    }
}

// Every fast path the processor has, not only the one CountBlock takes, on
// random blocks, and on one of spaces long enough to fold the lanes of each
// many times over.
TEST(CountBlock, AgreesWithTheScalarPath)
{
    std::vector<int (*)(const unsigned char *, size_t, unsigned long long *)> paths = {CountBlock};
#if COUNT_HAVE_SSE2
    if (CpuHasSse2())
        paths.push_back(CountBlockSse2);
#endif
#if COUNT_HAVE_AVX2
    if (CpuHasAvx2())
        paths.push_back(CountBlockAvx2);
#endif
    unsigned seed = 11;
    for (int iCase = 0; iCase < 500; ++iCase) {
        // The last: spaces only, which fill every lane to its limit before a fold.
        std::string bytes = iCase == 499 ? std::string(COUNT_BLOCK_SIZE, ' ')
                                         : RandomBytes(&seed, NextRandom(&seed) % 10000, iCase % 2 == 0);
        const unsigned char *pb = (const unsigned char *)bytes.data();
        unsigned long long scalar = 0;
        int fScalarEnd = CountBlockScalar(pb, bytes.size(), &scalar);
        for (size_t iPath = 0; iPath < paths.size(); ++iPath) {
            unsigned long long fast = 0;
            ASSERT_EQ(fScalarEnd, paths[iPath](pb, bytes.size(), &fast)) << iCase << " " << iPath;
            ASSERT_EQ(scalar, fast) << "case " << iCase << ", path " << iPath;
        }
    }
    EXPECT_EQ(COUNT_BLOCK_SIZE, CountBytes(std::string(COUNT_BLOCK_SIZE, ' ')));
}

TEST(CountSpaces, MissingAndEmptyPathsAreNotOpened)
{
    unsigned long long count = 99;
    EXPECT_FALSE(CountSpaces("", &count));
    EXPECT_FALSE(CountSpaces("no-such-dir-q/no-such-file-q.txt", &count));
}

} // namespace
