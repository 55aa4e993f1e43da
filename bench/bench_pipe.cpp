// Request, connection and memory rows. The real connection loop runs on a
// thread of this process; a bare server on a pipe of the same kind runs beside
// it, so each of our figures has the pipe's own cost next to it. The bare
// server echoes, or does a request's work the simplest way there is: the
// bound a request of ours is held to.
#include "bench.h"

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "../count/count.h"
#include "../count/file.h"
#include "../log/log.h"
#include "../pipe/instance.h"
#include "../pipe/request.h"
#include "../pipe/server.h"
#include "../tests/support.h"

// A name of its own, so that both servers can wait at once and the timed runs
// of the two can alternate.
static const char ECHO_PIPE_NAME[] = "\\\\.\\Pipe\\" QUORVEL_PIPE_LEAF "Echo";
// How long (ms) a client keeps trying to open a pipe before it is a fault.
static const DWORD CLIENT_OPEN_LIMIT_MS = 10000;

static HANDLE EchoPipe = INVALID_HANDLE_VALUE;
static volatile LONG EchoStopRequested = 0;
// Nonzero: the bare server answers a path as the service does, with one
// CreateFile, ReadFile and CloseHandle, the same two log lines and reply.
static volatile LONG EchoCounts = 0;
// Its one read: the fastest plain read's block, allocated once.
static const size_t BARE_READ_SIZE = 1024 * 1024;
static unsigned char *BareBlock = NULL;
static volatile LONG EchoCreateError = 0;
// Opens that found the name missing (no instance at all), and opens that found
// the instance busy; both retried.
static OpenRetries Retries = {0, 0};

// ---- the two servers ----

// First-instance only while the server holds none, as the connection loop does.
static HANDLE CreateEchoInstance(BOOL fFirst)
{
    return CreateNamedPipeA(ECHO_PIPE_NAME,
                            PIPE_ACCESS_DUPLEX | (fFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, (DWORD)PIPE_BUFFER_SIZE,
                            (DWORD)PIPE_BUFFER_SIZE, PIPE_DEFAULT_TIMEOUT_MS, NULL);
}

// A path's reply the simplest way: nothing asked of the handle, one read.
static void AnswerPlainly(const char *szPath, char *message)
{
    snprintf(message, MESSAGE_SIZE, "Received: %s\n", szPath);
    WriteLog(message);
    HANDLE hFile = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    DWORD cbRead = 0;
    BOOL fRead = hFile != INVALID_HANDLE_VALUE &&
                 ReadFile(hFile, BareBlock, (DWORD)BARE_READ_SIZE, &cbRead, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    unsigned long long cSpaces = 0;
    CountBlock(BareBlock, cbRead, &cSpaces);
    FormatReply(message, MESSAGE_SIZE, szPath, fRead, cSpaces);
    WriteLog(message);
}

// Echoes every message, or answers it plainly; after "exit" or a lost client
// it replaces the instance as the connection loop does, so connections cost
// the same steps.
static DWORD WINAPI EchoServerThread(LPVOID)
{
    char szBuf[PIPE_BUFFER_SIZE + 1];
    char message[MESSAGE_SIZE];
    while (!EchoStopRequested) {
        BOOL fConnected = ConnectNamedPipe(EchoPipe, NULL) ||
                          GetLastError() == ERROR_PIPE_CONNECTED;
        while (fConnected && !EchoStopRequested) {
            DWORD cbRead = 0;
            if (!ReadFile(EchoPipe, szBuf, (DWORD)PIPE_BUFFER_SIZE, &cbRead, NULL))
                break;
            DWORD cbWritten = 0;
            int fExit = strcmp(BoundMessage(szBuf, cbRead), EXIT_COMMAND) == 0;
            if (EchoCounts && !fExit) {
                AnswerPlainly(szBuf, message);
                WriteFile(EchoPipe, message, (DWORD)strlen(message) + 1, &cbWritten, NULL);
            } else {
                WriteFile(EchoPipe, szBuf, cbRead, &cbWritten, NULL);
            }
            if (fExit)
                break;
        }
        if (EchoStopRequested)
            break;
        // The next instance first, so the name never lapses.
        HANDLE hNext = CreateEchoInstance(FALSE);
        CloseHandle(EchoPipe);
        EchoPipe = hNext;
        if (EchoPipe == INVALID_HANDLE_VALUE) {
            InterlockedExchange(&EchoCreateError, (LONG)GetLastError());
            break;
        }
    }
    return 0;
}

static HANDLE StartEchoServer(void)
{
    InterlockedExchange(&EchoStopRequested, 0);
    if (BareBlock == NULL)
        BareBlock = (unsigned char *)VirtualAlloc(NULL, BARE_READ_SIZE, MEM_COMMIT | MEM_RESERVE,
                                                  PAGE_READWRITE);
    if (BareBlock == NULL) {
        BenchFail("VirtualAlloc (bare server): error %lu", (unsigned long)GetLastError());
        return NULL;
    }
    EchoPipe = CreateEchoInstance(TRUE);
    if (EchoPipe == INVALID_HANDLE_VALUE) {
        BenchFail("CreateNamedPipe (echo server): error %lu", (unsigned long)GetLastError());
        return NULL;
    }
    HANDLE hThread = CreateThread(NULL, 0, EchoServerThread, NULL, 0, NULL);
    if (hThread == NULL) {
        BenchFail("CreateThread (echo server): error %lu", (unsigned long)GetLastError());
        CloseHandle(EchoPipe);
        EchoPipe = INVALID_HANDLE_VALUE;
    }
    return hThread;
}

static void StopEchoServer(HANDLE hThread)
{
    InterlockedExchange(&EchoStopRequested, 1);
    DWORD dwStart = GetTickCount();
    // A cancel that comes before the call blocks is lost: repeat it.
    while (WaitForSingleObject(hThread, STOP_CANCEL_INTERVAL_MS) == WAIT_TIMEOUT) {
        if (GetTickCount() - dwStart >= LOOP_STOP_WAIT_MS) {
            BenchFail("the echo server did not stop");
            break;
        }
        CancelSynchronousIo(hThread);
    }
    CloseHandle(hThread);
    if (EchoPipe != INVALID_HANDLE_VALUE)
        CloseHandle(EchoPipe);
    EchoPipe = INVALID_HANDLE_VALUE;
    if (EchoCreateError != 0)
        BenchFail("the echo server could not re-create its pipe: error %ld", (long)EchoCreateError);
}

// ---- the client side ----

static HANDLE OpenPipe(const char *szPipe)
{
    DWORD dwError = 0;
    HANDLE hPipe = OpenClient(&dwError, CLIENT_OPEN_LIMIT_MS, true, szPipe, &Retries);
    if (hPipe == INVALID_HANDLE_VALUE)
        BenchFail("CreateFile (%s): error %lu", szPipe, (unsigned long)dwError);
    return hPipe;
}

// Sends one request and checks that its one reply is szExpected and its NUL.
static int Exchange(HANDLE hPipe, const char *szRequest, const char *szExpected)
{
    std::string reply = Ask(hPipe, szRequest);
    if (reply == szExpected)
        return 1;
    BenchFail("the reply to \"%s\" is \"%s\"; expected \"%s\" and its NUL", szRequest,
              reply.c_str(), szExpected);
    return 0;
}

// Ends the connection and closes the handle; checks the echo.
static int EndConnection(HANDLE hPipe)
{
    std::string echo = SayExit(hPipe);
    if (echo == EXIT_COMMAND)
        return 1;
    BenchFail("the echo of \"%s\" is \"%s\"", EXIT_COMMAND, echo.c_str());
    return 0;
}

// Opens, sends nRequests requests and "exit", closes. Returns nonzero when all
// replies were as expected.
static int RunConnection(const char *szPipe, const char *szRequest, const char *szExpected,
                         int nRequests)
{
    HANDLE hPipe = OpenPipe(szPipe);
    if (hPipe == INVALID_HANDLE_VALUE)
        return 0;
    int fOk = 1;
    for (int i = 0; i < nRequests && fOk; ++i)
        fOk = Exchange(hPipe, szRequest, szExpected);
    if (fOk)
        return EndConnection(hPipe);
    CloseHandle(hPipe);
    return 0;
}

// ---- the log ----

static long long LogFileSize(void)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(LOG_PATH, GetFileExInfoStandard, &data))
        return 0;
    return ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Lines the log has gained since it was cbFrom bytes long. Every WriteLog
// ends its line with CR LF; some messages carry an LF of their own as well,
// so only CR LF pairs are counted.
static long CountLogLinesFrom(long long cbFrom)
{
    FILE *fp = fopen(LOG_PATH, "rb");
    if (fp == NULL)
        return -1;
    long cLines = 0;
    if (fseek(fp, (long)cbFrom, SEEK_SET) == 0) {
        char buf[4096];
        size_t cbRead;
        char chPrevious = '\0';
        while ((cbRead = fread(buf, 1, sizeof buf, fp)) > 0) {
            for (size_t i = 0; i < cbRead; ++i) {
                cLines += (chPrevious == '\r' && buf[i] == '\n');
                chPrevious = buf[i];
            }
        }
    }
    fclose(fp);
    return cLines;
}

// ---- timed runs ----

// Requests per second over one connection; checks every reply. With
// pcbLogged, also the bytes the log gained over the timed requests.
static double TimeRequests(const char *szPipe, const char *szRequest, const char *szExpected,
                           int nRequests, long long *pcbLogged)
{
    HANDLE hPipe = OpenPipe(szPipe);
    if (hPipe == INVALID_HANDLE_VALUE)
        return 0.0;
    // The first request pays for opening the file the first time.
    int fOk = Exchange(hPipe, szRequest, szExpected);
    long long cbLogBefore = LogFileSize();
    double dStart = BenchSeconds();
    for (int i = 0; i < nRequests && fOk; ++i)
        fOk = Exchange(hPipe, szRequest, szExpected);
    double dElapsed = BenchSeconds() - dStart;
    if (pcbLogged != NULL)
        *pcbLogged = LogFileSize() - cbLogBefore;
    if (fOk)
        fOk = EndConnection(hPipe);
    else
        CloseHandle(hPipe);
    return (fOk && dElapsed > 0) ? nRequests / dElapsed : 0.0;
}

// Connections per second, each one request and "exit".
static double TimeConnections(const char *szPipe, const char *szRequest, const char *szExpected,
                              int nConnections)
{
    double dStart = BenchSeconds();
    for (int i = 0; i < nConnections; ++i) {
        if (!RunConnection(szPipe, szRequest, szExpected, 1))
            return 0.0;
    }
    double dElapsed = BenchSeconds() - dStart;
    return dElapsed > 0 ? nConnections / dElapsed : 0.0;
}

// Microseconds per WriteLog of the two lines a request writes, alternately.
static double TimeLogLine(const char *szReceived, const char *szReply, int nLines)
{
    double dStart = BenchSeconds();
    for (int i = 0; i < nLines; ++i) {
        if (WriteLog((i & 1) ? szReply : szReceived) < 0) {
            BenchFail("WriteLog cannot open %s", LOG_PATH);
            return 0.0;
        }
    }
    return (BenchSeconds() - dStart) * 1e6 / nLines;
}

// Microseconds per CountSpaces of the small file.
static double TimeSmallCount(const char *szFile, long long cSpaces, int nCounts)
{
    double dStart = BenchSeconds();
    for (int i = 0; i < nCounts; ++i) {
        unsigned long long cCounted = 0;
        if (!CountSpaces(szFile, &cCounted) || (long long)cCounted != cSpaces) {
            BenchFail("CountSpaces counts %lld spaces in %s; it holds %lld",
                      (long long)cCounted, szFile, cSpaces);
            return 0.0;
        }
    }
    return (BenchSeconds() - dStart) * 1e6 / nCounts;
}

// ---- memory ----

// Handle values are multiples of 4; a process of ours holds far fewer than this.
static const ULONG_PTR HANDLE_PROBE_LIMIT = 0x10000;
// Committed memory may grow this much over the memory check before it counts
// as a leak: a heap extends in steps, a leak grows with every request.
static const SIZE_T MEMORY_GROWTH_LIMIT = 1024 * 1024;

struct MemorySnapshot {
    SIZE_T cbPrivate;     // the commit charge: PagefileUsage, which Windows
                          // also reports as PrivateUsage (Wine leaves that 0)
    SIZE_T cbWorkingSet;
    SIZE_T cbCommitted;   // committed private pages, walked with VirtualQuery
    DWORD cHandles;       // GetProcessHandleCount (Wine answers 0)
    DWORD cHandlesProbed; // handle values that GetHandleInformation accepts
};

static SIZE_T CommittedPrivateBytes(void)
{
    SIZE_T cbTotal = 0;
    MEMORY_BASIC_INFORMATION mbi;
    const char *pb = NULL;
    while (VirtualQuery(pb, &mbi, sizeof mbi) == sizeof mbi) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            cbTotal += mbi.RegionSize;
        const char *pbNext = (const char *)mbi.BaseAddress + mbi.RegionSize;
        if (pbNext <= pb)
            break;
        pb = pbNext;
    }
    return cbTotal;
}

static DWORD ProbeHandles(void)
{
    DWORD cHandles = 0;
    for (ULONG_PTR h = 4; h < HANDLE_PROBE_LIMIT; h += 4) {
        DWORD dwFlags = 0;
        cHandles += GetHandleInformation((HANDLE)h, &dwFlags) ? 1 : 0;
    }
    return cHandles;
}

static void TakeSnapshot(MemorySnapshot *pSnap)
{
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc))
        BenchFail("GetProcessMemoryInfo: error %lu", (unsigned long)GetLastError());
    pSnap->cbPrivate = pmc.PagefileUsage;
    pSnap->cbWorkingSet = pmc.WorkingSetSize;
    pSnap->cHandles = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &pSnap->cHandles))
        BenchFail("GetProcessHandleCount: error %lu", (unsigned long)GetLastError());
    pSnap->cbCommitted = CommittedPrivateBytes();
    pSnap->cHandlesProbed = ProbeHandles();
}

static double KiB(SIZE_T cb)
{
    return (double)cb / 1024.0;
}

static void PrintKiBRow(const char *szLabel, SIZE_T cbBefore, SIZE_T cbAfter)
{
    printf("  %-40s %10.0f %10.0f %+10.0f\n", szLabel, KiB(cbBefore), KiB(cbAfter),
           KiB(cbAfter) - KiB(cbBefore));
}

static void PrintCountRow(const char *szLabel, DWORD cBefore, DWORD cAfter)
{
    printf("  %-40s %10lu %10lu %+10ld\n", szLabel, (unsigned long)cBefore,
           (unsigned long)cAfter, (long)cAfter - (long)cBefore);
}

static void BenchMemory(const BenchSizes *pSizes, const char *szRequest, const char *szExpected)
{
    MemorySnapshot before;
    MemorySnapshot after;
    TakeSnapshot(&before);
    double dStart = BenchSeconds();
    for (int i = 0; i < pSizes->nMemoryConnections; ++i) {
        if (!RunConnection(PIPE_NAME, szRequest, szExpected, pSizes->nMemoryRequestsEach))
            break;
    }
    double dElapsed = BenchSeconds() - dStart;
    TakeSnapshot(&after);

    int nRequests = pSizes->nMemoryConnections * pSizes->nMemoryRequestsEach;
    printf("\nMemory: %d requests over %d connections through the loop (%.1f s)\n", nRequests,
           pSizes->nMemoryConnections, dElapsed);
    printf("  %-40s %10s %10s %10s\n", "", "before", "after", "change");
    PrintKiBRow("private bytes, KiB (GetProcessMemoryInfo)", before.cbPrivate, after.cbPrivate);
    PrintKiBRow("working set, KiB (GetProcessMemoryInfo)", before.cbWorkingSet,
                after.cbWorkingSet);
    PrintKiBRow("committed private, KiB (VirtualQuery)", before.cbCommitted, after.cbCommitted);
    PrintCountRow("handles (GetProcessHandleCount)", before.cHandles, after.cHandles);
    PrintCountRow("handles (GetHandleInformation probe)", before.cHandlesProbed,
                  after.cHandlesProbed);
    if (before.cHandles == 0 && after.cHandles == 0)
        printf("  (GetProcessHandleCount answers 0 here, as under Wine: the probe stands in)\n");

    // A handle left behind per connection is a leak whatever the clock says;
    // a few come and go with the runtime's own bookkeeping.
    long cGrowth = (long)after.cHandles - (long)before.cHandles;
    long cProbedGrowth = (long)after.cHandlesProbed - (long)before.cHandlesProbed;
    if (cProbedGrowth > cGrowth)
        cGrowth = cProbedGrowth;
    if (cGrowth >= pSizes->nMemoryConnections / 2 + 2)
        BenchFail("handles grew by %ld over %d connections", cGrowth,
                  pSizes->nMemoryConnections);
    SIZE_T cbGrowth = after.cbPrivate > before.cbPrivate ? after.cbPrivate - before.cbPrivate : 0;
    if (after.cbCommitted > before.cbCommitted && after.cbCommitted - before.cbCommitted > cbGrowth)
        cbGrowth = after.cbCommitted - before.cbCommitted;
    if (cbGrowth > MEMORY_GROWTH_LIMIT)
        BenchFail("memory grew by %lu KiB over %d requests", (unsigned long)(cbGrowth / 1024),
                  nRequests);
}

// ---- the rows ----

// Our request against the plainest server doing its work, run for run.
static void PrintPlainRows(const BenchSizes *pSizes, const double *adRequests, double *adPlain,
                           double *adRatio)
{
    int n = pSizes->nRuns;
    double dBest = 0.0;
    for (int i = 0; i < n; ++i)
        dBest = adRatio[i] > dBest ? adRatio[i] : dBest;
    double adOurs[BENCH_MAX_RUNS];
    memcpy(adOurs, adRequests, n * sizeof adOurs[0]);
    printf("\nA small request (a %ld-byte file) against the plainest server doing its work:\n"
           "the same protocol and log lines, one CreateFile, ReadFile and CloseHandle\n",
           (long)pSizes->cbSmallFile);
    printf("  %-52s %10.0f /s\n", "connection loop (ServePipeClients), median", BenchMedian(adOurs, n));
    printf("  %-52s %10.0f /s\n", "plainest server, median", BenchMedian(adPlain, n));
    printf("  %-52s %10.2f best, %.2f median of %d\n", "ratio, run by run", dBest,
           BenchMedian(adRatio, n), n);
}

static void PrintPipeRows(const BenchSizes *pSizes, double *adRequests, double *adEcho,
                          double *adConnections, double *adEchoConnections, double *adLogLine,
                          double *adCount, long cConnectionLogLines, long cNotFoundLoop,
                          long cBusyLoop)
{
    int n = pSizes->nRuns;
    double dRequests = BenchMedian(adRequests, n);
    double dEcho = BenchMedian(adEcho, n);
    double dConnections = BenchMedian(adConnections, n);
    double dEchoConnections = BenchMedian(adEchoConnections, n);
    double dLogLine = BenchMedian(adLogLine, n);
    double dCount = BenchMedian(adCount, n);

    double dRequestUs = dRequests > 0 ? 1e6 / dRequests : 0.0;
    double dEchoUs = dEcho > 0 ? 1e6 / dEcho : 0.0;
    double dLogUs = 2 * dLogLine;
    double dRest = dRequestUs - dLogUs - dEchoUs - dCount;
    double nConnections = (double)n * pSizes->nConnectionsPerRun;

    printf("\nRequests over one connection: a %ld-byte file, %d requests a run\n",
           (long)pSizes->cbSmallFile, pSizes->nRequestsPerRun);
    printf("  %-52s %10.0f /s\n", "connection loop (ServePipeClients)", dRequests);
    printf("  %-52s %10.0f /s\n", "bare echo server, same kind of pipe", dEcho);
    printf("  where a request's %.1f us go:\n", dRequestUs);
    printf("  %-52s %10.1f us %5.1f%%\n", "  log writer (2 lines x WriteLog)", dLogUs,
           dRequestUs > 0 ? 100.0 * dLogUs / dRequestUs : 0.0);
    printf("  %-52s %10.1f us %5.1f%%\n", "  pipe round trip (bare echo)", dEchoUs,
           dRequestUs > 0 ? 100.0 * dEchoUs / dRequestUs : 0.0);
    printf("  %-52s %10.1f us %5.1f%%\n", "  CountSpaces of the file", dCount,
           dRequestUs > 0 ? 100.0 * dCount / dRequestUs : 0.0);
    printf("  %-52s %10.1f us %5.1f%%\n", "  the rest (request - the three above)", dRest,
           dRequestUs > 0 ? 100.0 * dRest / dRequestUs : 0.0);

    printf("\nConnections: open, one request, \"exit\", close; %d a run\n",
           pSizes->nConnectionsPerRun);
    printf("  %-52s %10.0f /s\n", "connection loop (replaces its instance each time)",
           dConnections);
    printf("  %-52s %10.0f /s\n", "bare echo server (replaces its instance too)",
           dEchoConnections);
    double dLinesPerConnection = cConnectionLogLines / nConnections;
    double dConnectionUs = dConnections > 0 ? 1e6 / dConnections : 0.0;
    printf("  %-52s %10.1f\n", "log lines per connection", dLinesPerConnection);
    printf("  %-52s %10.1f us %5.1f%%\n", "log writer's part of a connection",
           dLinesPerConnection * dLogLine,
           dConnectionUs > 0 ? 100.0 * dLinesPerConnection * dLogLine / dConnectionUs : 0.0);
    printf("  %-52s %10.2f\n", "opens that found no instance (name lapsed), per conn.",
           cNotFoundLoop / nConnections);
    printf("  %-52s %10.2f\n", "opens that found it busy, per conn.",
           cBusyLoop / nConnections);
}

void BenchPipe(const BenchSizes *pSizes, const char *szSmallFile, long long cSpaces)
{
    char szExpected[MESSAGE_SIZE];
    char szReceived[MESSAGE_SIZE];
    snprintf(szExpected, sizeof szExpected, REPLY_COUNTED_FORMAT, szSmallFile, cSpaces);
    // The line the loop logs on receiving the request.
    snprintf(szReceived, sizeof szReceived, "Received: %s\n", szSmallFile);
    // Each line reaches the log with CR LF.
    long long cbLogPerRequest = (long long)(strlen(szReceived) + 2 + strlen(szExpected) + 2);

    HANDLE hEcho = StartEchoServer();
    if (hEcho == NULL)
        return;
    HANDLE hLoop = StartLoopThread();
    if (hLoop == NULL || PipeHandle == INVALID_HANDLE_VALUE) {
        BenchFail("the connection loop did not start: error %lu", (unsigned long)GetLastError());
        if (hLoop != NULL)
            StopLoopThread(hLoop);
        StopEchoServer(hEcho);
        return;
    }

    double adRequests[BENCH_MAX_RUNS];
    double adEcho[BENCH_MAX_RUNS];
    double adPlain[BENCH_MAX_RUNS];
    double adRatio[BENCH_MAX_RUNS];
    double adConnections[BENCH_MAX_RUNS];
    double adEchoConnections[BENCH_MAX_RUNS];
    double adLogLine[BENCH_MAX_RUNS];
    double adCount[BENCH_MAX_RUNS];
    long cConnectionLogLines = 0;
    long cNotFoundLoop = 0;
    long cBusyLoop = 0;
    for (int iRun = 0; iRun < pSizes->nRuns && BenchFailureCount() == 0; ++iRun) {
        long long cbLogged = 0;
        adRequests[iRun] = TimeRequests(PIPE_NAME, szSmallFile, szExpected,
                                        pSizes->nRequestsPerRun, &cbLogged);
        // Each request logs its "Received" line and its reply, whole.
        if (adRequests[iRun] > 0 && cbLogged != cbLogPerRequest * pSizes->nRequestsPerRun)
            BenchFail("the log gained %lld bytes over %d requests; expected %lld per request",
                      cbLogged, pSizes->nRequestsPerRun, cbLogPerRequest);
        InterlockedExchange(&EchoCounts, 1);
        adPlain[iRun] = TimeRequests(ECHO_PIPE_NAME, szSmallFile, szExpected,
                                     pSizes->nRequestsPerRun, NULL);
        InterlockedExchange(&EchoCounts, 0);
        adRatio[iRun] = adPlain[iRun] > 0 ? adRequests[iRun] / adPlain[iRun] : 0.0;
        adEcho[iRun] = TimeRequests(ECHO_PIPE_NAME, szSmallFile, szSmallFile,
                                    pSizes->nRequestsPerRun, NULL);

        long long cbLogBefore = LogFileSize();
        long cNotFoundBefore = Retries.nNotFound;
        long cBusyBefore = Retries.nBusy;
        adConnections[iRun] = TimeConnections(PIPE_NAME, szSmallFile, szExpected,
                                              pSizes->nConnectionsPerRun);
        cNotFoundLoop += Retries.nNotFound - cNotFoundBefore;
        cBusyLoop += Retries.nBusy - cBusyBefore;
        cConnectionLogLines += CountLogLinesFrom(cbLogBefore);
        adEchoConnections[iRun] = TimeConnections(ECHO_PIPE_NAME, szSmallFile, szSmallFile,
                                                  pSizes->nConnectionsPerRun);

        adLogLine[iRun] = TimeLogLine(szReceived, szExpected, pSizes->nLogLinesPerRun);
        adCount[iRun] = TimeSmallCount(szSmallFile, cSpaces, pSizes->nLogLinesPerRun);
    }
    if (BenchFailureCount() == 0) {
        PrintPlainRows(pSizes, adRequests, adPlain, adRatio);
        PrintPipeRows(pSizes, adRequests, adEcho, adConnections, adEchoConnections, adLogLine,
                      adCount, cConnectionLogLines, cNotFoundLoop, cBusyLoop);
        // Last, once everything else has had its first use.
        BenchMemory(pSizes, szSmallFile, szExpected);
    }
    if (!StopLoopThread(hLoop))
        BenchFail("the connection loop did not let go of the pipe, or its thread did not end");
    StopEchoServer(hEcho);
}
