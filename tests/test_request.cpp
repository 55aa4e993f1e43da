// Request handling and the counter, without the pipe or any platform header:
// these run on Windows under Wine and natively under the sanitizers.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "count/count.h"
#include "count/file.h"
#include "reference_count.h"
#include "count/count_avx2.h"
#include "count/count_sse2.h"
#include "count/cpu.h"
#include "pipe/request.h"

namespace {

std::string Reply(const char *request, RequestResult *pResult = NULL)
{
    char reply[MESSAGE_SIZE];
    memset(reply, 'X', sizeof reply);
    RequestResult result = HandleRequest(request, reply, sizeof reply);
    if (pResult != NULL)
        *pResult = result;
    return result == RequestReply ? std::string(reply) : std::string();
}

unsigned long long CountBytes(const std::string &bytes, int *pfEnd = NULL)
{
    unsigned long long count = 0;
    int fEnd = CountBlock((const unsigned char *)bytes.data(), bytes.size(), &count);
    if (pfEnd != NULL)
        *pfEnd = fEnd;
    return count;
}

unsigned long long ReferenceCount(const std::string &bytes)
{
    return CountSpacesBeforeCtrlZ((const unsigned char *)bytes.data(), bytes.size());
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

TEST(Classify, ExitEndsTheConnection)
{
    RequestResult result = RequestReply;
    Reply("exit", &result);
    EXPECT_EQ(RequestExit, result);
}

TEST(Classify, NearMissesOfExitArePaths)
{
    const char *nearMisses[] = {"Exit", "EXIT", " exit", "exit ", "exit\n", "exit\r\n", "exi", "exitt", ""};
    for (const char *request : nearMisses) {
        RequestResult result = RequestExit;
        std::string reply = Reply(request, &result);
        EXPECT_EQ(RequestReply, result) << "request [" << request << "]";
        EXPECT_EQ(std::string("(Server)Can't open ") + request + "!", reply);
    }
}

TEST(Bound, RequestEndsAtItsOwnBytes)
{
    char szBuf[PIPE_BUFFER_SIZE + 1];
    memset(szBuf, 'Z', sizeof szBuf);
    // An earlier, longer request left its bytes behind.
    memcpy(szBuf, "C:\\a\\much\\longer\\path.txt", 25);
    memcpy(szBuf, "C:\\b", 4);
    EXPECT_STREQ("C:\\b", BoundMessage(szBuf, 4));

    memcpy(szBuf, "ab\0cd", 5);
    EXPECT_STREQ("ab", BoundMessage(szBuf, 5)) << "ends at its own NUL";

    memset(szBuf, 'q', sizeof szBuf);
    EXPECT_EQ(PIPE_BUFFER_SIZE, strlen(BoundMessage(szBuf, PIPE_BUFFER_SIZE)))
        << "a full buffer without a NUL keeps every byte and no more";
    EXPECT_STREQ("", BoundMessage(szBuf, 0));
}

TEST(Format, RepliesByteForByte)
{
    char reply[MESSAGE_SIZE];
    FormatReply(reply, sizeof reply, "C:\\x.txt", 1, 3);
    EXPECT_STREQ("(Server): file:C:\\x.txt, spaces = 3", reply);
    FormatReply(reply, sizeof reply, "C:\\x.txt", 0, 0);
    EXPECT_STREQ("(Server)Can't open C:\\x.txt!", reply);
}

TEST(Format, LongestRepliesAreWhole)
{
    // A full buffer without a NUL is one character longer than a request
    // with its NUL can be.
    const size_t lengths[] = {MAX_REQUEST_LENGTH, PIPE_BUFFER_SIZE};
    for (size_t cch : lengths) {
        std::string path(cch, 'p');
        char reply[MESSAGE_SIZE];
        const unsigned long long widest = 9223372036854775807ULL;
        FormatReply(reply, sizeof reply, path.c_str(), 1, widest);
        EXPECT_EQ("(Server): file:" + path + ", spaces = 9223372036854775807", std::string(reply));
        FormatReply(reply, sizeof reply, path.c_str(), 0, 0);
        EXPECT_EQ("(Server)Can't open " + path + "!", std::string(reply));
    }
}

TEST(Format, CountsPast32BitsStayPositive)
{
    char reply[MESSAGE_SIZE];
    FormatReply(reply, sizeof reply, "big", 1, 2147483648ULL + 5);
    EXPECT_STREQ("(Server): file:big, spaces = 2147483653", reply);
}

TEST(CountBlock, CountsOnlySpaceBytesBeforeCtrlZ)
{
    EXPECT_EQ(0u, CountBytes(""));
    EXPECT_EQ(3u, CountBytes("one two  three"));
    EXPECT_EQ(0u, CountBytes("\t\t\r\n\n\f\v"));
    EXPECT_EQ(0u, CountBytes("\xA0\xA0"));
    int fEnd = 0;
    EXPECT_EQ(1u, CountBytes("ab cd\x1A    ", &fEnd));
    EXPECT_TRUE(fEnd);
    EXPECT_EQ(0u, CountBytes("\x1A  ", &fEnd));
    EXPECT_TRUE(fEnd);
    CountBytes("no end here", &fEnd);
    EXPECT_FALSE(fEnd);
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

TEST(CountBlock, EqualsTheByteLoopOnRandomBlocks)
{
    unsigned seed = 7;
    for (int iCase = 0; iCase < 2000; ++iCase) {
        size_t cb = NextRandom(&seed) % 5000;
        bool fWithEnd = iCase % 3 == 0;
        std::string bytes = RandomBytes(&seed, cb, fWithEnd);
        ASSERT_EQ(ReferenceCount(bytes), CountBytes(bytes)) << "case " << iCase;
    }
    // Runs long enough to fold the lane counters many times over.
    std::string spaces(COUNT_BLOCK_SIZE, ' ');
    EXPECT_EQ(COUNT_BLOCK_SIZE, CountBytes(spaces));
}

// Every fast path the processor has, not only the one CountBlock takes, on
// blocks long enough to fold the lanes of each.
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
        std::string bytes = iCase == 499 ? std::string(20000, ' ')
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
}

TEST(CountSpaces, MissingAndEmptyPathsAreNotOpened)
{
    unsigned long long count = 99;
    EXPECT_FALSE(CountSpaces("", &count));
    EXPECT_FALSE(CountSpaces("no-such-dir-q/no-such-file-q.txt", &count));
}

} // namespace
