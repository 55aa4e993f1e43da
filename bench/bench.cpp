// quorvel-bench: how fast the service counts, answers and takes connections,
// and whether its memory stays flat; a table of medians over several runs.
//
//   quorvel-bench [--quick]
//
// --quick uses small sizes and few runs: a functional check that ctest runs.
// Either way the exit code is nonzero when a count or a reply is wrong; no
// figure is ever judged against a time.
#include "bench.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../log/log.h"
#include "../pipe/protocol.h"

static const char PROGRAM[] = "quorvel-bench";

// In the order of BenchSizes: runs, counting runs; counted files, fgetc slice,
// small file (bytes); requests, connections, log lines per run; memory check.
// The quick run's larger file is past the size that starts the counter's
// helper, so both ways of counting are checked.
static const BenchSizes FULL_SIZES = {
    "full", 7, 15, {128 * 1024 * 1024, 1024 * 1024 * 1024}, 8 * 1024 * 1024, 1000, 1000, 200,
    1000, 100, 100,
};
static const BenchSizes QUICK_SIZES = {
    "quick", 3, 3, {4 * 1024 * 1024, 72 * 1024 * 1024}, 1024 * 1024, 1000, 100, 20, 100, 10, 100,
};

static int FailureCount = 0;

double BenchSeconds(void)
{
    static LARGE_INTEGER liFrequency;
    if (liFrequency.QuadPart == 0)
        QueryPerformanceFrequency(&liFrequency);
    LARGE_INTEGER liNow;
    QueryPerformanceCounter(&liNow);
    return (double)liNow.QuadPart / (double)liFrequency.QuadPart;
}

static int CompareDoubles(const void *pvA, const void *pvB)
{
    double dA = *(const double *)pvA;
    double dB = *(const double *)pvB;
    return (dA > dB) - (dA < dB);
}

double BenchMedian(double *adValues, int nValues)
{
    if (nValues <= 0)
        return 0.0;
    qsort(adValues, (size_t)nValues, sizeof adValues[0], CompareDoubles);
    if (nValues % 2 != 0)
        return adValues[nValues / 2];
    return (adValues[nValues / 2 - 1] + adValues[nValues / 2]) / 2;
}

void BenchFail(const char *szFormat, ...)
{
    char szMessage[1024];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szMessage, sizeof szMessage, szFormat, args);
    va_end(args);
    fprintf(stderr, "%s: FAILED: %s\n", PROGRAM, szMessage);
    fflush(stderr);
    ++FailureCount;
}

int BenchFailureCount(void)
{
    return FailureCount;
}

static void PrintUsage(FILE *fp)
{
    fprintf(fp,
            "Usage: %s [--quick]\n"
            "Measures counting, requests, connections and memory of the Quorvel\n"
            "service's code in this process and prints medians.\n"
            "  --quick  small sizes and few runs (a functional check)\n"
            "Exit code: 0 when every count and reply was right, 1 otherwise, 2 usage.\n",
            PROGRAM);
}

int main(int argc, char **argv)
{
    const BenchSizes *pSizes = &FULL_SIZES;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            pSizes = &QUICK_SIZES;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        } else {
            fprintf(stderr, "%s: unknown argument %s\n", PROGRAM, argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }
    double dStart = BenchSeconds();

    char szDir[MAX_PATH];
    DWORD cchDir = GetTempPathA(sizeof szDir, szDir);
    if (cchDir == 0 || cchDir >= sizeof szDir) {
        fprintf(stderr, "%s: no temporary folder (error %lu)\n", PROGRAM,
                (unsigned long)GetLastError());
        return 1;
    }
    // The log grows by every request: each run starts it afresh.
    DeleteFileA(LOG_PATH);

    BOOL fWow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &fWow64);
    printf("%s (%s), a %d-bit build%s: best and median of %d runs (counting), medians of %d "
           "runs (the rest)\n",
           PROGRAM, pSizes->szMode, (int)(8 * sizeof(void *)), fWow64 ? " under WOW64" : "",
           pSizes->nCountRuns, pSizes->nRuns);
    fflush(stdout);

    BenchCounting(pSizes, szDir);
    fflush(stdout);

    char szSmallFile[MAX_PATH];
    snprintf(szSmallFile, sizeof szSmallFile, "%squorvel-bench-small.txt", szDir);
    long long cSmallSpaces = 0;
    if (strlen(szSmallFile) > MAX_REQUEST_LENGTH)
        BenchFail("the path %s is too long for a request", szSmallFile);
    else if (!BenchWriteTextFile(szSmallFile, pSizes->cbSmallFile, &cSmallSpaces))
        BenchFail("cannot write %s", szSmallFile);
    else
        BenchPipe(pSizes, szSmallFile, cSmallSpaces);
    DeleteFileA(szSmallFile);

    printf("\nTotal time: %.1f s; %s\n", BenchSeconds() - dStart,
           FailureCount == 0 ? "every count and reply was right" : "FAILED (see above)");
    return FailureCount == 0 ? 0 : 1;
}
