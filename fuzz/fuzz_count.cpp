// Arbitrary file contents through the counter, compared with the tests'
// reference: the whole contents as one block, the contents as two blocks
// split at a chosen point, and the contents as a file counted by name.
// Input: 4 bytes, little-endian, that choose the split point (modulo the
// length of the contents plus one), then the contents. Shorter inputs are
// contents alone, split at 0.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "count/count.h"
#include "count/file.h"
#include "count/count_avx2.h"
#include "count/count_sse2.h"
#include "count/cpu.h"
#include "tests/reference_count.h"

static void Require(int fOk, const char *szWhat)
{
    if (fOk)
        return;
    fprintf(stderr, "fuzz_count: %s\n", szWhat);
    abort();
}

// Counts already held before a call: the counter must add to them, and whole
// 64 bits of them (a count kept in 32 bits would lose the high part).
static const unsigned long long COUNT_BEFORE = (1ull << 32) + 7;

// A copy of pb[0..cb) in a block of exactly cb bytes, so that the sanitizer
// sees any read past the end of the block the counter was given.
static unsigned char *ExactCopy(const unsigned char *pb, size_t cb)
{
    unsigned char *pbCopy = (unsigned char *)malloc(cb != 0 ? cb : 1);
    Require(pbCopy != NULL, "out of memory");
    if (cb != 0)
        memcpy(pbCopy, pb, cb);
    return pbCopy;
}

// Each path the processor has, and the one CountBlock takes.
static void CheckWhole(const unsigned char *pb, size_t cb, unsigned long long want, int fWantEnd)
{
    static const struct {
        int (*pfn)(const unsigned char *, size_t, unsigned long long *);
        int fHere;
    } paths[] = {{CountBlock, 1},
                 {CountBlockScalar, 1},
#if COUNT_HAVE_SSE2
                 {CountBlockSse2, CpuHasSse2()},
#endif
#if COUNT_HAVE_AVX2
                 {CountBlockAvx2, CpuHasAvx2()},
#endif
    };
    unsigned char *pbCopy = ExactCopy(pb, cb);
    for (const auto &path : paths) {
        unsigned long long count = COUNT_BEFORE;
        if (!path.fHere)
            continue;
        int fEnd = path.pfn(pbCopy, cb, &count);
        Require(count == want, "a path differs from the byte loop");
        Require((fEnd != 0) == fWantEnd, "a path misreports the 0x1A");
    }
    free(pbCopy);
}

// The way a stream is counted: the second block only when the first had no 0x1A.
static void CheckSplit(const unsigned char *pb, size_t cb, size_t ibSplit,
                       unsigned long long want, int fWantEnd)
{
    unsigned char *pbFirst = ExactCopy(pb, ibSplit);
    unsigned char *pbSecond = ExactCopy(pb + ibSplit, cb - ibSplit);
    unsigned long long count = COUNT_BEFORE;
    int fEnd = CountBlock(pbFirst, ibSplit, &count);
    Require((fEnd != 0) == (memchr(pb, 0x1A, ibSplit) != NULL),
            "CountBlock misreports the 0x1A of the first block");
    if (!fEnd)
        fEnd = CountBlock(pbSecond, cb - ibSplit, &count);
    Require(count == want, "two blocks differ from the byte loop");
    Require((fEnd != 0) == fWantEnd, "two blocks misreport the 0x1A");
    free(pbFirst);
    free(pbSecond);
}

// The contents as a file, counted by name as a request is, its blocks read
// one after another.
static void CheckFile(const unsigned char *pb, size_t cb, unsigned long long want)
{
    char szPath[] = "/tmp/fuzz_count.XXXXXX";
    int fd = mkstemp(szPath);
    Require(fd >= 0, "cannot make a file");
    FILE *fp = fdopen(fd, "wb");
    Require(fp != NULL && fwrite(pb, 1, cb, fp) == cb && fclose(fp) == 0, "cannot write the file");
    unsigned long long count = 0;
    int fCounted = CountSpaces(szPath, &count);
    remove(szPath);
    Require(fCounted, "CountSpaces did not finish");
    Require(count + COUNT_BEFORE == want, "CountSpaces differs from the byte loop");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbInput, size_t cbInput)
{
    const unsigned char *pb = pbInput;
    size_t cb = cbInput;
    size_t ibSplit = 0;
    if (cbInput >= 4) {
        unsigned long selector = (unsigned long)pbInput[0] | (unsigned long)pbInput[1] << 8 |
                                 (unsigned long)pbInput[2] << 16 | (unsigned long)pbInput[3] << 24;
        pb = pbInput + 4;
        cb = cbInput - 4;
        ibSplit = (size_t)(selector % (cb + 1));
    }

    int fWantEnd = 0;
    unsigned long long want = COUNT_BEFORE + CountSpacesBeforeCtrlZ(pb, cb, &fWantEnd);
    CheckWhole(pb, cb, want, fWantEnd);
    CheckSplit(pb, cb, ibSplit, want, fWantEnd);
    CheckFile(pb, cb, want);
    return 0;
}
