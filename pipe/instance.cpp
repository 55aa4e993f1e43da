#include "instance.h"

#include "../identity/identity.h"
#include "../log/log.h"
#include "owner.h"
#include "seams_win.h"

HANDLE PipeHandle = INVALID_HANDLE_VALUE;

static const char CREATE_CALL[] = "CreateNamedPipe";

// Creates one instance without logging; on failure *pszFailedCall names the
// call and GetLastError() its error.
static HANDLE CreateInstanceHandle(const PipeSelf *pSelf, BOOL fFirst, const char **pszFailedCall)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    // Named as owner only where the token lets the service own what it makes.
    if (!MakePipeSecurity(pSelf->pFullAccess,
                          pSelf->pOwner == pSelf->pFullAccess ? pSelf->pOwner : NULL, &pSd,
                          pszFailedCall))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = pSd;
    sa.bInheritHandle = FALSE;

    *pszFailedCall = CREATE_CALL;
    HANDLE hPipe = CreatePipeEnd(
        PIPE_NAME, PIPE_ACCESS_DUPLEX | (fFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
        (DWORD)PIPE_BUFFER_SIZE, (DWORD)PIPE_BUFFER_SIZE, PIPE_DEFAULT_TIMEOUT_MS, &sa);
    DWORD dwError = GetLastError();
    // The pipe keeps its own copy of the descriptor.
    LocalFree(pSd);
    SetLastError(dwError);
    return hPipe;
}

// Learns who we are from the token, then creates one instance as above.
static HANDLE CreateOurInstance(PipeSelf *pSelf, BOOL fFirst, const char **pszFailedCall)
{
    *pszFailedCall = NULL;
    if (!LearnPipeSelf(pSelf, pszFailedCall))
        return INVALID_HANDLE_VALUE;
    return CreateInstanceHandle(pSelf, fFirst, pszFailedCall);
}

// Whether the instance's owner is ours. A further instance takes the owner of
// its name, which the name's first instance gave it: ours means an earlier
// run of ours made the name.
static BOOL OwnedByUs(const PipeSelf *pSelf, HANDLE hPipe, const char **pszFailedCall)
{
    BOOL fOurs = FALSE;
    *pszFailedCall = "GetSecurityInfo";
    DWORD dwError = CompareOwner(pSelf, hPipe, &fOurs);
    if (dwError == ERROR_SUCCESS) {
        // Someone else's name: refused as the first-instance creation was.
        *pszFailedCall = CREATE_CALL;
        dwError = fOurs ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    SetLastError(dwError);
    return fOurs;
}

// Logs how a creation ended; returns 0 or -1 with the error kept.
static int LogCreation(HANDLE hPipe, const char *szFailedCall, DWORD dwError)
{
    if (hPipe == INVALID_HANDLE_VALUE) {
        LogCallError(szFailedCall, dwError);
        SetLastError(dwError);
        return -1;
    }
    WriteLog("Waiting for connect...\n");
    return 0;
}

int CreatePipeInstance(void)
{
    const char *szFailedCall = NULL;
    PipeSelf self;
    // First-instance: a name that someone else holds makes the creation fail
    // rather than be shared.
    HANDLE hPipe = CreateOurInstance(&self, TRUE, &szFailedCall);
    // 5: on Windows a name outlives its last instance while a client still
    // holds its end, as one of our last run may (an upgrade restarts us while
    // clients are connected). Wine ignores the flag and drops the name, so
    // only the tests' model shows this.
    if (hPipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        szFailedCall == CREATE_CALL) {
        hPipe = CreateInstanceHandle(&self, FALSE, &szFailedCall);
        if (hPipe != INVALID_HANDLE_VALUE && !OwnedByUs(&self, hPipe, &szFailedCall)) {
            DWORD dwError = GetLastError();
            CloseHandle(hPipe);
            SetLastError(dwError);
            hPipe = INVALID_HANDLE_VALUE;
        }
    }
    PipeHandle = hPipe;
    return LogCreation(hPipe, szFailedCall, GetLastError());
}

int CreateNextPipeInstance(void)
{
    const char *szFailedCall = NULL;
    PipeSelf self;
    // Never first-instance: the name is ours, and on Windows the flag fails
    // while the last client still holds its end.
    HANDLE hNext = CreateOurInstance(&self, FALSE, &szFailedCall);
    if (hNext == INVALID_HANDLE_VALUE)
        return LogCreation(hNext, szFailedCall, GetLastError());
    ClosePipeInstance();
    PipeHandle = hNext;
    return LogCreation(hNext, NULL, ERROR_SUCCESS);
}

static VOID CALLBACK CancelFlush(PVOID pvThread, BOOLEAN)
{
    CancelSynchronousIo((HANDLE)pvThread);
}

void DisconnectPipeClient(void)
{
    // A disconnect discards what the client has not read yet, the echo of
    // "exit" say: wait until it has, or has gone, but no longer than the
    // bound, which a pool thread's cancel sets. The cancel repeats until the
    // timer is deleted: one that comes before the flush is pending (this
    // thread held up past the bound) is lost. Deleting the timer waits for a
    // cancel under way, so none reaches a later call. Without a timer the
    // flush is skipped: unbounded, it could hold the service.
    HANDLE hThread = NULL, hTimer = NULL;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hThread,
                        THREAD_TERMINATE, FALSE, 0) &&
        CreateTimerQueueTimer(&hTimer, NULL, CancelFlush, hThread, DISCONNECT_FLUSH_WAIT_MS,
                              FLUSH_CANCEL_INTERVAL_MS, WT_EXECUTEDEFAULT)) {
        FlushPipeEnd(PipeHandle);
        DeleteTimerQueueTimer(NULL, hTimer, INVALID_HANDLE_VALUE);
    }
    if (hThread != NULL)
        CloseHandle(hThread);
    DisconnectNamedPipe(PipeHandle);
}

void ClosePipeInstance(void)
{
    HANDLE hPipe = PipeHandle;
    // Forget the handle first: its number may be reused by the next open.
    PipeHandle = INVALID_HANDLE_VALUE;
    if (hPipe != INVALID_HANDLE_VALUE)
        CloseHandle(hPipe);
    WriteLog(PIPE_CLOSED_LINE);
}
