// What the parts of quorvel-bench share: the sizes of a run, the clock, the
// median, and the failure count that decides the exit code.
#pragma once

#include <windows.h>

#include <stddef.h>

// At most this many timed runs of anything; medians are taken over them.
static const int BENCH_MAX_RUNS = 15;

// The sizes of one run of the program: the full run or --quick.
struct BenchSizes {
    const char *szMode;
    int nRuns;               // timed runs of the request, connection and log rows
    int nCountRuns;          // timed runs of each counting row
    size_t cbCountFiles[2];  // the generated files the count is timed on
    size_t cbByteLoopSlice;  // a file the fgetc loop and the counter alone are timed on
    size_t cbSmallFile;      // the file each request asks for
    int nRequestsPerRun;     // requests over one connection, per timed run
    int nConnectionsPerRun;  // connections (one request and "exit"), per timed run
    int nLogLinesPerRun;     // WriteLog calls, per timed run
    int nMemoryConnections;  // the memory check: this many connections ...
    int nMemoryRequestsEach; // ... of this many requests each
};

// Seconds on a monotonic clock.
double BenchSeconds(void);

// The median of the first nValues of adValues (which it sorts).
double BenchMedian(double *adValues, int nValues);

// Reports a functional fault on stderr; any fault makes the exit code nonzero.
void BenchFail(const char *szFormat, ...);
int BenchFailureCount(void);

// Counting rows: CountSpaces against the fastest plain read of the same cached
// file, the fgetc loop and the counter alone, on generated text.
void BenchCounting(const BenchSizes *pSizes, const char *szDir);

// Request, connection and memory rows: the connection loop against a bare echo
// server. szSmallFile is the path each request asks for, holding cSpaces spaces.
void BenchPipe(const BenchSizes *pSizes, const char *szSmallFile, long long cSpaces);

// Writes cbFile bytes of generated text (words, spaces, CR LF lines, a few
// tabs and 0xA0 bytes, never 0x1A) to szPath; sets *pcSpaces to the spaces
// written. The same cbFile always gives the same bytes, and a shorter file is
// the start of a longer one. Returns nonzero on success.
int BenchWriteTextFile(const char *szPath, size_t cbFile, long long *pcSpaces);
