// Counting rows: how close CountSpaces comes to just reading the file, and how
// far it leaves the byte-at-a-time loop behind.
#include "bench.h"

#include <stdio.h>
#include <string.h>

#include "../count/count.h"
#include "../count/file.h"
#include "../pipe/request.h"
#include "../tests/reference_count.h"

// The bound reads in blocks of this size whatever block the counter uses: the
// fastest plain read measured on this platform, a fixed yardstick.
static const size_t BOUND_BLOCK_SIZE = 1024 * 1024;
// The block the counter alone is timed on: one that stays in the cache.
static const size_t MEMORY_BLOCK_SIZE = 64 * 1024;
// The generator's own block.
static const size_t WRITE_BLOCK_SIZE = 64 * 1024;
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
    unsigned char block[WRITE_BLOCK_SIZE];
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

// The bound: the fastest plain read of the whole file, ReadFile in blocks of
// BOUND_BLOCK_SIZE into one buffer, with FILE_FLAG_SEQUENTIAL_SCAN, and
// nothing else. Returns the bytes read.
static unsigned long long ReadWholeFile(const char *szPath, unsigned char *pbBlock)
{
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    unsigned long long cbTotal = 0;
    DWORD cbRead = 0;
    while (ReadFile(hFile, pbBlock, (DWORD)BOUND_BLOCK_SIZE, &cbRead, NULL) && cbRead > 0)
        cbTotal += cbRead;
    CloseHandle(hFile);
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

static double MbPerSecond(double cb, double dSeconds)
{
    return dSeconds > 0 ? cb / BYTES_PER_MB / dSeconds : 0.0;
}

// The best (the highest) and the median of the first n speeds.
static void BestAndMedian(double *adSpeeds, int n, double *pdBest, double *pdMedian)
{
    *pdMedian = BenchMedian(adSpeeds, n); // sorts them
    *pdBest = n > 0 ? adSpeeds[n - 1] : 0.0;
}

// CountSpaces of one cached generated file against the bound, the two timed
// in turn so that whatever else the machine does falls on both alike.
static void BenchCountFile(const BenchSizes *pSizes, const char *szFile, size_t cbFile,
                           unsigned char *pbBlock)
{
    long long cFileSpaces = 0;
    if (!BenchWriteTextFile(szFile, cbFile, &cFileSpaces)) {
        BenchFail("cannot write %s", szFile);
        DeleteFileA(szFile);
        return;
    }
    double adBound[BENCH_MAX_RUNS];
    double adCount[BENCH_MAX_RUNS];
    // Run 0 brings the file into the cache and is not kept.
    for (int iRun = -1; iRun < pSizes->nCountRuns; ++iRun) {
        double dStart = BenchSeconds();
        unsigned long long cbRead = ReadWholeFile(szFile, pbBlock);
        double dBound = MbPerSecond((double)cbFile, BenchSeconds() - dStart);
        if (cbRead != cbFile)
            BenchFail("the bare read got %llu bytes of %lu", cbRead, (unsigned long)cbFile);

        unsigned long long cSpaces = 0;
        dStart = BenchSeconds();
        int fCounted = CountSpaces(szFile, &cSpaces);
        double dCount = MbPerSecond((double)cbFile, BenchSeconds() - dStart);
        if (!fCounted || (long long)cSpaces != cFileSpaces)
            BenchFail("CountSpaces counts %lld spaces (counted: %d); the file holds %lld",
                      (long long)cSpaces, fCounted, cFileSpaces);
        if (iRun >= 0) {
            adBound[iRun] = dBound;
            adCount[iRun] = dCount;
        }
    }
    DeleteFileA(szFile);

    double dBoundBest, dBoundMedian, dCountBest, dCountMedian;
    BestAndMedian(adBound, pSizes->nCountRuns, &dBoundBest, &dBoundMedian);
    BestAndMedian(adCount, pSizes->nCountRuns, &dCountBest, &dCountMedian);
    printf("  %5lu MiB, %11lld spaces   %10.1f %10.1f %10.1f %10.1f %6.2f %6.2f\n",
           (unsigned long)(cbFile / BYTES_PER_MIB), cFileSpaces, dBoundBest, dBoundMedian,
           dCountBest, dCountMedian, dBoundBest > 0 ? dCountBest / dBoundBest : 0.0,
           dBoundMedian > 0 ? dCountMedian / dBoundMedian : 0.0);
    fflush(stdout);
}

void BenchCounting(const BenchSizes *pSizes, const char *szDir)
{
    unsigned char *pbBlock =
        (unsigned char *)VirtualAlloc(NULL, BOUND_BLOCK_SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (pbBlock == NULL) {
        BenchFail("VirtualAlloc: error %lu", (unsigned long)GetLastError());
        return;
    }
    printf("\nCounting a cached file: CountSpaces against the fastest plain read (ReadFile,\n"
           "%lu KiB blocks, FILE_FLAG_SEQUENTIAL_SCAN), MB/s (MB = 10^6 bytes)\n",
           (unsigned long)(BOUND_BLOCK_SIZE / 1024));
    printf("  %-27s %10s %10s %10s %10s %6s %6s\n", "file", "read best", "median",
           "count best", "median", "ratio", "median");
    char szFile[MAX_PATH];
    snprintf(szFile, sizeof szFile, "%squorvel-bench-count.txt", szDir);
    for (size_t cbFile : pSizes->cbCountFiles)
        BenchCountFile(pSizes, szFile, cbFile, pbBlock);

    char szSlice[MAX_PATH];
    snprintf(szSlice, sizeof szSlice, "%squorvel-bench-slice.txt", szDir);
    long long cSliceSpaces = 0;
    if (!BenchWriteTextFile(szSlice, pSizes->cbByteLoopSlice, &cSliceSpaces)) {
        BenchFail("cannot write %s", szSlice);
        DeleteFileA(szSlice);
        VirtualFree(pbBlock, 0, MEM_RELEASE);
        return;
    }
    // One block of the slice, for the counter alone.
    HANDLE hSlice = CreateFileA(szSlice, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD cbBlock = 0;
    if (hSlice == INVALID_HANDLE_VALUE || !ReadFile(hSlice, pbBlock, (DWORD)MEMORY_BLOCK_SIZE, &cbBlock, NULL))
        BenchFail("cannot read %s", szSlice);
    if (hSlice != INVALID_HANDLE_VALUE)
        CloseHandle(hSlice);

    double adMemory[BENCH_MAX_RUNS];
    double adByteLoop[BENCH_MAX_RUNS];
    unsigned long long cMemorySpaces = 0;
    for (int iRun = 0; iRun < pSizes->nRuns; ++iRun) {
        double dStart = BenchSeconds();
        cMemorySpaces += CountInMemory(pbBlock, cbBlock, pSizes->cbByteLoopSlice);
        adMemory[iRun] = MbPerSecond((double)pSizes->cbByteLoopSlice, BenchSeconds() - dStart);

        long long cLoop = -1;
        dStart = BenchSeconds();
        int fLooped = CountSpacesByteLoop(szSlice, &cLoop);
        adByteLoop[iRun] = MbPerSecond((double)pSizes->cbByteLoopSlice, BenchSeconds() - dStart);
        if (!fLooped || cLoop != cSliceSpaces)
            BenchFail("the fgetc loop counts %lld spaces in the slice; it holds %lld", cLoop,
                      cSliceSpaces);
    }
    if (cMemorySpaces == 0 && cSliceSpaces != 0)
        BenchFail("CountBlock found no spaces in a block of text");
    DeleteFileA(szSlice);
    VirtualFree(pbBlock, 0, MEM_RELEASE);

    char szLabel[96];
    snprintf(szLabel, sizeof szLabel, "fgetc loop (CountSpacesByteLoop), %lu MiB",
             (unsigned long)(pSizes->cbByteLoopSlice / BYTES_PER_MIB));
    printf("  %-52s %10.1f MB/s (median)\n", szLabel, BenchMedian(adByteLoop, pSizes->nRuns));
    snprintf(szLabel, sizeof szLabel, "CountBlock alone, one cached %lu KiB block",
             (unsigned long)(MEMORY_BLOCK_SIZE / 1024));
    printf("  %-52s %10.1f MB/s (median)\n", szLabel, BenchMedian(adMemory, pSizes->nRuns));
}
