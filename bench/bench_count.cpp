// Counting rows: how close CountSpaces comes to just reading the file, and how
// far it leaves the byte-at-a-time loop behind.
#include "bench.h"

#include <stdio.h>
#include <string.h>

#include "../count/count.h"
#include "../pipe/request.h"
#include "../tests/reference_count.h"

// The bound reads in blocks of this size whatever block the counter uses, so
// that a change of the counter's block shows up against a fixed yardstick.
static const size_t BOUND_BLOCK_SIZE = 64 * 1024;
static const double BYTES_PER_MB = 1000.0 * 1000.0;
static const size_t BYTES_PER_MIB = 1024 * 1024;

// The generator's state: a linear congruential sequence shaped into words.
struct TextGenerator {
    unsigned long dwSeed;
    int nWordLeft;
    int nColumn;
    int fPendingLf;
};

static unsigned NextRandom(TextGenerator *pGen)
{
    pGen->dwSeed = (pGen->dwSeed * 1103515245UL + 12345UL) & 0xFFFFFFFFUL;
    return (unsigned)(pGen->dwSeed >> 16);
}

static unsigned char NextTextByte(TextGenerator *pGen)
{
    if (pGen->fPendingLf) {
        pGen->fPendingLf = 0;
        pGen->nColumn = 0;
        return '\n';
    }
    unsigned r = NextRandom(pGen);
    if (pGen->nWordLeft > 0) {
        --pGen->nWordLeft;
        ++pGen->nColumn;
        // A byte that is a space only to a counter that drops the top bit.
        if (r % 997 == 0)
            return 0xA0;
        return (unsigned char)('a' + r % 26);
    }
    pGen->nWordLeft = 1 + (int)((r >> 5) % 9);
    if (pGen->nColumn >= 72) {
        pGen->fPendingLf = 1;
        return '\r';
    }
    ++pGen->nColumn;
    return (r % 61 == 0) ? '\t' : ' ';
}

int BenchWriteTextFile(const char *szPath, size_t cbFile, long long *pcSpaces)
{
    FILE *fp = fopen(szPath, "wb");
    if (fp == NULL)
        return 0;
    TextGenerator gen = {20240601UL, 0, 0, 0};
    unsigned char block[BOUND_BLOCK_SIZE];
    long long cSpaces = 0;
    size_t cbDone = 0;
    int fOk = 1;
    while (cbDone < cbFile && fOk) {
        size_t cbBlock = cbFile - cbDone < sizeof block ? cbFile - cbDone : sizeof block;
        for (size_t i = 0; i < cbBlock; ++i) {
            block[i] = NextTextByte(&gen);
            cSpaces += (block[i] == ' ');
        }
        fOk = fwrite(block, 1, cbBlock, fp) == cbBlock;
        cbDone += cbBlock;
    }
    if (fclose(fp) != 0)
        fOk = 0;
    *pcSpaces = cSpaces;
    return fOk;
}

// The bound: nothing but fread of the whole file. Returns the bytes read.
static size_t ReadWholeFile(const char *szPath)
{
    FILE *fp = fopen(szPath, "rb");
    if (fp == NULL)
        return 0;
    unsigned char block[BOUND_BLOCK_SIZE];
    size_t cbTotal = 0;
    for (;;) {
        size_t cbRead = fread(block, 1, sizeof block, fp);
        cbTotal += cbRead;
        if (cbRead < sizeof block)
            break;
    }
    fclose(fp);
    return cbTotal;
}

// The counter alone, on a block that stays in the cache: what counting would
// cost if reading were free. Returns the spaces, so the work cannot be dropped.
static unsigned long long CountInMemory(const unsigned char *pb, size_t cbBlock, size_t cbTotal)
{
    unsigned long long cSpaces = 0;
    if (cbBlock == 0)
        return 0;
    for (size_t cbDone = 0; cbDone < cbTotal; cbDone += cbBlock)
        CountBlock(pb, cbBlock, &cSpaces);
    return cSpaces;
}

static double MbPerSecond(size_t cb, double dSeconds)
{
    return dSeconds > 0 ? (double)cb / BYTES_PER_MB / dSeconds : 0.0;
}

void BenchCounting(const BenchSizes *pSizes, const char *szDir)
{
    char szFile[MAX_PATH];
    char szSlice[MAX_PATH];
    snprintf(szFile, sizeof szFile, "%squorvel-bench-count.txt", szDir);
    snprintf(szSlice, sizeof szSlice, "%squorvel-bench-slice.txt", szDir);

    long long cFileSpaces = 0;
    long long cSliceSpaces = 0;
    if (!BenchWriteTextFile(szFile, pSizes->cbCountFile, &cFileSpaces) ||
        !BenchWriteTextFile(szSlice, pSizes->cbByteLoopSlice, &cSliceSpaces)) {
        BenchFail("cannot write the counting files in %s", szDir);
        DeleteFileA(szFile);
        DeleteFileA(szSlice);
        return;
    }

    // The reference over the whole file, once and untimed: the timed runs
    // then compare CountSpaces with it.
    long long cReference = -1;
    if (!CountSpacesByteLoop(szFile, &cReference) || cReference != cFileSpaces)
        BenchFail("the fgetc loop counts %lld spaces in the generated file; it holds %lld",
                  cReference, cFileSpaces);

    unsigned char block[BOUND_BLOCK_SIZE];
    FILE *fp = fopen(szFile, "rb");
    size_t cbBlock = fp != NULL ? fread(block, 1, sizeof block, fp) : 0;
    if (fp != NULL)
        fclose(fp);

    double adBound[BENCH_MAX_RUNS];
    double adCount[BENCH_MAX_RUNS];
    double adMemory[BENCH_MAX_RUNS];
    double adByteLoop[BENCH_MAX_RUNS];
    unsigned long long cMemorySpaces = 0;
    for (int iRun = 0; iRun < pSizes->nRuns; ++iRun) {
        // Interleaved, so that whatever else the machine does falls on all alike.
        double dStart = BenchSeconds();
        size_t cbRead = ReadWholeFile(szFile);
        adBound[iRun] = MbPerSecond(cbRead, BenchSeconds() - dStart);
        if (cbRead != pSizes->cbCountFile)
            BenchFail("the bare read got %lu bytes of %lu", (unsigned long)cbRead,
                      (unsigned long)pSizes->cbCountFile);

        unsigned long long cSpaces = 0;
        dStart = BenchSeconds();
        int fCounted = CountSpaces(szFile, &cSpaces);
        adCount[iRun] = MbPerSecond(pSizes->cbCountFile, BenchSeconds() - dStart);
        if (!fCounted || (long long)cSpaces != cFileSpaces)
            BenchFail("CountSpaces counts %lld spaces (counted: %d); the file holds %lld",
                      (long long)cSpaces, fCounted, cFileSpaces);

        dStart = BenchSeconds();
        cMemorySpaces += CountInMemory(block, cbBlock, pSizes->cbCountFile);
        adMemory[iRun] = MbPerSecond(pSizes->cbCountFile, BenchSeconds() - dStart);

        long long cLoop = -1;
        dStart = BenchSeconds();
        int fLooped = CountSpacesByteLoop(szSlice, &cLoop);
        adByteLoop[iRun] = MbPerSecond(pSizes->cbByteLoopSlice, BenchSeconds() - dStart);
        if (!fLooped || cLoop != cSliceSpaces)
            BenchFail("the fgetc loop counts %lld spaces in the slice; it holds %lld", cLoop,
                      cSliceSpaces);
    }
    if (cMemorySpaces == 0 && cFileSpaces != 0)
        BenchFail("CountBlock found no spaces in a block of text");

    double dBound = BenchMedian(adBound, pSizes->nRuns);
    double dCount = BenchMedian(adCount, pSizes->nRuns);
    double dMemory = BenchMedian(adMemory, pSizes->nRuns);
    double dByteLoop = BenchMedian(adByteLoop, pSizes->nRuns);

    printf("\nCounting: %lu MiB of generated text, %lld spaces (MB = 10^6 bytes)\n",
           (unsigned long)(pSizes->cbCountFile / BYTES_PER_MIB), cFileSpaces);
    printf("  %-52s %10.1f MB/s\n", "bare read (fread, 64 KiB blocks): the bound", dBound);
    printf("  %-52s %10.1f MB/s\n", "CountSpaces", dCount);
    char szLabel[96];
    snprintf(szLabel, sizeof szLabel, "fgetc loop (CountSpacesByteLoop), first %lu MiB only",
             (unsigned long)(pSizes->cbByteLoopSlice / BYTES_PER_MIB));
    printf("  %-52s %10.1f MB/s\n", szLabel, dByteLoop);
    printf("  %-52s %10.1f MB/s\n", "CountBlock alone, one cached 64 KiB block", dMemory);
    printf("  %-52s %10.2f\n", "CountSpaces / bare read (target >= 0.6)",
           dBound > 0 ? dCount / dBound : 0.0);
    printf("  %-52s %10.1f\n", "CountSpaces / fgetc loop (target >= 100)",
           dByteLoop > 0 ? dCount / dByteLoop : 0.0);

    DeleteFileA(szFile);
    DeleteFileA(szSlice);
}
