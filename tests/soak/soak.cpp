// quorvel-soak [--connections N] [--seed S]
//
// Registers the service beside this program with the service manager, starts
// it, runs N connections of every kind (racing clients included), checks each
// reply, the service's memory and handles and, once it is stopped, its whole
// log. Ends with "P passed, F failed"; exits non-zero on any failure.
#include "soak.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log/log.h"
#include "support.h"

static const int DEFAULT_CONNECTIONS = 2000;
// Connections before the first measurement: long enough for the heap and
// the runtime to reach their working size.
static const int WARM_UP_CONNECTIONS = 100;
static const int PROGRESS_EVERY = 500;
// Growth allowed between the two measurements.
static const SIZE_T PRIVATE_GROWTH_MAX = 256 * 1024;
static const SIZE_T WORKING_SET_GROWTH_MAX = 1024 * 1024;
static const long HANDLE_GROWTH_MAX = 2;
// Failures printed in full; the rest are only counted.
static const long FAILURES_SHOWN = 30;

static volatile LONG ChecksPassed = 0;
static volatile LONG ChecksFailedCount = 0;
static CRITICAL_SECTION PrintLock;
static ServiceHandles *RunService = NULL;

bool Check(bool fOk, const char *szFormat, ...)
{
    if (fOk) {
        InterlockedIncrement(&ChecksPassed);
        return true;
    }
    LONG nFailed = InterlockedIncrement(&ChecksFailedCount);
    if (nFailed <= FAILURES_SHOWN) {
        char szMessage[1024];
        va_list args;
        va_start(args, szFormat);
        vsnprintf(szMessage, sizeof szMessage, szFormat, args);
        va_end(args);
        EnterCriticalSection(&PrintLock);
        printf("FAILED: %s\n", szMessage);
        if (nFailed == FAILURES_SHOWN)
            printf("(further failures are only counted)\n");
        fflush(stdout);
        LeaveCriticalSection(&PrintLock);
    }
    return false;
}

long ChecksFailed(void)
{
    return ChecksFailedCount;
}

static void PrintVerdict(void)
{
    printf("%ld passed, %ld failed\n", (long)ChecksPassed, (long)ChecksFailedCount);
    fflush(stdout);
}

void AbandonRun(const char *szWhy)
{
    Check(false, "run abandoned: %s", szWhy);
    if (RunService != NULL && RunService->hService != NULL) {
        SERVICE_STATUS status;
        ControlService(RunService->hService, SERVICE_CONTROL_STOP, &status);
        DeleteService(RunService->hService);
    }
    PrintVerdict();
    ExitProcess(1);
}

static bool ParseCount(const char *szText, unsigned long long *pValue)
{
    char *pEnd = NULL;
    if (szText == NULL || *szText < '0' || *szText > '9')
        return false;
    *pValue = strtoull(szText, &pEnd, 10);
    return *pEnd == '\0';
}

static bool ParseArgs(int argc, char **argv, int *pnConnections, unsigned long long *pSeed)
{
    for (int i = 1; i < argc; ++i) {
        unsigned long long value = 0;
        if (strcmp(argv[i], "--connections") == 0 && i + 1 < argc &&
            ParseCount(argv[i + 1], &value) && value > 0 && value <= 10000000) {
            *pnConnections = (int)value;
            ++i;
        } else if (strcmp(argv[i], "--seed") == 0 && i + 1 < argc &&
                   ParseCount(argv[i + 1], &value)) {
            *pSeed = value;
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

static double SecondsSince(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return (double)(now.QuadPart - start.QuadPart) / (double)freq.QuadPart;
}

static void PrintProcess(const char *szWhen, const ProcessFigures &figures)
{
    printf("%-12s private %lu KiB, working set %lu KiB, handles %ld\n", szWhen,
           (unsigned long)(figures.cbPrivate / 1024), (unsigned long)(figures.cbWorkingSet / 1024),
           figures.nHandles);
}

static void CheckGrowth(const ProcessFigures &before, const ProcessFigures &after)
{
    if (!Check(before.fOk && after.fOk, "the service process could not be measured"))
        return;
    Check(after.cbPrivate <= before.cbPrivate + PRIVATE_GROWTH_MAX,
          "private bytes grew from %lu to %lu KiB", (unsigned long)(before.cbPrivate / 1024),
          (unsigned long)(after.cbPrivate / 1024));
    Check(after.cbWorkingSet <= before.cbWorkingSet + WORKING_SET_GROWTH_MAX,
          "working set grew from %lu to %lu KiB", (unsigned long)(before.cbWorkingSet / 1024),
          (unsigned long)(after.cbWorkingSet / 1024));
    Check(after.nHandles <= before.nHandles + HANDLE_GROWTH_MAX, "handles grew from %ld to %ld",
          before.nHandles, after.nHandles);
}

struct PlanFigures {
    size_t nRacing, nGroups, nExit, nVanish, nVanishAfterSend;
    size_t nKinds[RequestKindCount];
};

static PlanFigures CountPlan(const std::vector<Unit> &units)
{
    PlanFigures figures;
    memset(&figures, 0, sizeof figures);
    for (const Unit &unit : units) {
        if (unit.connections.size() > 1) {
            ++figures.nGroups;
            figures.nRacing += unit.connections.size();
        }
        for (const Connection &conn : unit.connections) {
            figures.nExit += (conn.end == EndExit);
            figures.nVanish += (conn.end == EndVanish);
            figures.nVanishAfterSend += (conn.end == EndVanishAfterSend);
            for (const Request &req : conn.requests)
                ++figures.nKinds[req.kind];
        }
    }
    return figures;
}

static void RemoveSoakFiles(const std::string &dir, const std::vector<SoakFile> &files)
{
    for (const SoakFile &file : files)
        DeleteFileA(file.path.c_str());
    RemoveDirectoryA(dir.c_str());
}

int main(int argc, char **argv)
{
    InitializeCriticalSection(&PrintLock);
    int nConnections = DEFAULT_CONNECTIONS;
    unsigned long long seed = GetTickCount();
    if (!ParseArgs(argc, argv, &nConnections, &seed)) {
        fprintf(stderr, "Usage: quorvel-soak [--connections N] [--seed S]\n");
        return 2;
    }
    printf("quorvel-soak: %d connections, seed %llu\n", nConnections, seed);
    fflush(stdout);

    Random random;
    SeedRandom(&random, seed);
    std::string dir = MakeTestDir("soak");
    std::vector<SoakFile> files;
    if (!MakeSoakFiles(dir, &random, &files)) {
        PrintVerdict();
        return 1;
    }
    std::vector<Unit> units = PlanConnections(nConnections, dir, files, &random);

    ServiceHandles svc;
    std::string left = CleanMachine();
    if (!Check(left.empty(), "machine not clean: %s", left.c_str()) || !RegisterSoakService(&svc)) {
        PrintVerdict();
        return 1;
    }
    RunService = &svc;
    if (!StartSoakService(&svc))
        AbandonRun("the service did not start");

    int nWarmUp = nConnections / 2 < WARM_UP_CONNECTIONS ? nConnections / 2 : WARM_UP_CONNECTIONS;
    ClientTally tally;
    memset(&tally, 0, sizeof tally);
    ProcessFigures before;
    memset(&before, 0, sizeof before);
    bool fMeasured = false;
    int nDone = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (const Unit &unit : units) {
        if (!fMeasured && nDone >= nWarmUp) {
            // Measured while it waits, between two clients.
            Check(WaitForWaitLines(1 + (size_t)nDone, SOAK_SETTLE_MS),
                  "the service did not log its wait after %d connections", nDone);
            before = MeasureProcess(&svc);
            fMeasured = true;
        }
        RunUnit(&unit, &tally);
        int nBefore = nDone;
        nDone += (int)unit.connections.size();
        if (nDone / PROGRESS_EVERY != nBefore / PROGRESS_EVERY) {
            printf("  %d connections, %ld failed checks\n", nDone, ChecksFailed());
            fflush(stdout);
        }
    }
    double seconds = SecondsSince(start);
    long nRunRequests = tally.nRequests;

    // Still running, and still answering.
    Check(QueryService(&svc).dwCurrentState == SERVICE_RUNNING,
          "the service is not running after the run");
    Unit probe;
    probe.connections.push_back(PlanProbe(nDone, files[files.size() - 1]));
    RunUnit(&probe, &tally);
    units.push_back(probe);
    ++nDone;
    Check(WaitForWaitLines(1 + (size_t)nDone, SOAK_SETTLE_MS),
          "the service did not log its wait after the last connection");
    if (!fMeasured)
        before = MeasureProcess(&svc);
    ProcessFigures after = MeasureProcess(&svc);

    StopAndRemoveSoakService(&svc);
    RunService = NULL;
    LogFigures log;
    CheckLog(units, &log);
    CheckGrowth(before, after);
    RemoveSoakFiles(dir, files);

    PlanFigures plan = CountPlan(units);
    printf("connections: %d (%u racing in %u groups of 2-4; %u ended with exit, %u vanished, "
           "%u vanished before a reply)\n",
           nDone, (unsigned)plan.nRacing, (unsigned)plan.nGroups, (unsigned)plan.nExit,
           (unsigned)plan.nVanish, (unsigned)plan.nVanishAfterSend);
    printf("requests:    %ld sent (%u existing files, %u missing, %u of %u characters, "
           "%u over %u bytes, %u without NUL), %ld replies checked\n",
           (long)tally.nRequests, (unsigned)plan.nKinds[RequestExisting],
           (unsigned)plan.nKinds[RequestMissing], (unsigned)plan.nKinds[RequestLongest],
           (unsigned)MAX_REQUEST_LENGTH, (unsigned)plan.nKinds[RequestOverlong],
           (unsigned)PIPE_BUFFER_SIZE, (unsigned)plan.nKinds[RequestNoNul], (long)tally.nReplies);
    printf("connecting:  %ld busy waits, %ld name-gone retries, %u clients before the wait\n",
           (long)tally.nBusy, (long)tally.nNotFound, (unsigned)log.nEarlyClient);
    printf("log:         %u lines, %u connected, %u received, %u exited, %u broken, %u short "
           "reads\n",
           (unsigned)log.nLines, (unsigned)log.nConnected, (unsigned)log.nReceived,
           (unsigned)log.nExited, (unsigned)log.nBroken, (unsigned)log.nMoreData);
    printf("elapsed:     %.2f s, %.1f connections/s, %.1f requests/s\n", seconds,
           seconds > 0 ? (nDone - 1) / seconds : 0.0,
           seconds > 0 ? (double)nRunRequests / seconds : 0.0);
    printf("service:     measured after %d connections and at the end\n", nWarmUp);
    PrintProcess("warmed up:", before);
    PrintProcess("at the end:", after);
    PrintVerdict();
    return ChecksFailed() == 0 ? 0 : 1;
}
