#include "server.h"

#include <stdio.h>
#include <string.h>

#include "../log/log.h"
#include "instance.h"
#include "request.h"
#include "../stop/stop.h"

// Every line the loop logs is formatted into a MESSAGE_SIZE buffer.
static_assert(MESSAGE_SIZE + 2 <= LOG_LINE_SIZE, "the log must take a whole reply and its CR LF");

enum { ServerIdle, ServerServing, ServerFinished };
static volatile LONG ServerState = ServerIdle;
// The loop thread, taken by that thread itself before it starts serving, so
// that a stop never has to find it by an id that may have been reused. Closed
// by the stop once it is done with it.
static HANDLE volatile ServerThread = NULL;

static int Stopping(void)
{
    return StopRequested != 0;
}

static void LogConnectError(DWORD dwError)
{
    switch (dwError) {
    case ERROR_NO_DATA:
        WriteLog("ConnectNamedPipe: ERROR_NO_DATA");
        break;
    case ERROR_PIPE_CONNECTED:
        WriteLog("ConnectNamedPipe: ERROR_PIPE_CONNECTED");
        break;
    case ERROR_PIPE_LISTENING:
        WriteLog("ConnectNamedPipe: ERROR_PIPE_LISTENING");
        break;
    case ERROR_CALL_NOT_IMPLEMENTED:
        WriteLog("ConnectNamedPipe: ERROR_CALL_NOT_IMPLEMENTED");
        break;
    default:
        LogCallError("ConnectNamedPipe", dwError);
        break;
    }
}

// Sleeps dwMs in short steps so that a stop is not kept waiting.
static void PauseUnlessStopping(DWORD dwMs)
{
    const DWORD dwStep = 50;
    for (DWORD dwSlept = 0; dwSlept < dwMs && !Stopping(); dwSlept += dwStep)
        Sleep(dwMs - dwSlept < dwStep ? dwMs - dwSlept : dwStep);
}

// The pace of retries after a failure that lasts: the pause doubles per
// failure up to the cap, so a lasting fault adds a bounded number of log lines
// per minute; a success starts it again.
struct RetryPace {
    DWORD dwPauseMs; // 0: no failure since the last success
    DWORD dwFailedTick;
};

DWORD NextRetryPauseMs(DWORD dwPauseMs)
{
    DWORD dwNextMs = (dwPauseMs == 0) ? CONNECT_RETRY_FIRST_MS : dwPauseMs * 2;
    return dwNextMs > CONNECT_RETRY_MAX_MS ? CONNECT_RETRY_MAX_MS : dwNextMs;
}

static void PaceFailure(RetryPace *pPace)
{
    pPace->dwPauseMs = NextRetryPauseMs(pPace->dwPauseMs);
    pPace->dwFailedTick = GetTickCount();
}

static int PaceDue(const RetryPace *pPace)
{
    return pPace->dwPauseMs == 0 || GetTickCount() - pPace->dwFailedTick >= pPace->dwPauseMs;
}

// Readies the pipe for the next client: a fresh instance when a creation is
// due, otherwise, and when it fails, the same instance again.
static void ReadyForNextClient(RetryPace *pCreatePace)
{
    if (PaceDue(pCreatePace)) {
        if (CreateNextPipeInstance() == 0) {
            pCreatePace->dwPauseMs = 0;
            return;
        }
        PaceFailure(pCreatePace);
    }
    DisconnectPipeClient();
}

// Returns nonzero once a client is connected. A failed wait is logged and dealt
// with here: the caller simply waits again.
static int WaitForClient(RetryPace *pWaitPace, RetryPace *pCreatePace)
{
    BOOL fConnected = ConnectNamedPipe(PipeHandle, NULL);
    DWORD dwError = fConnected ? ERROR_SUCCESS : GetLastError();
    if (Stopping())
        return 0;
    if (!fConnected) {
        LogConnectError(dwError);
        // 535: the client opened the pipe before we waited; it is connected.
        if (dwError != ERROR_PIPE_CONNECTED) {
            WriteLog("Error connecting Named Pipe!\n");
            // 232: a client came and went; a fresh or disconnected instance
            // clears it. Anything else is paced, so it never becomes a busy
            // loop.
            if (dwError != ERROR_NO_DATA) {
                PaceFailure(pWaitPace);
                PauseUnlessStopping(pWaitPace->dwPauseMs);
                if (Stopping())
                    return 0;
            }
            ReadyForNextClient(pCreatePace);
            return 0;
        }
    }
    pWaitPace->dwPauseMs = 0;
    return 1;
}

// Serves one client until it sends "exit" or goes away, then renews the
// instance. Returns early, without touching the instance, when stopping.
static void ServeClient(char *szBuf, char *message, RetryPace *pCreatePace)
{
    WriteLog("Connected. Waiting for command.\n");
    for (;;) {
        DWORD cbRead = 0;
        BOOL fRead = ReadFile(PipeHandle, szBuf, (DWORD)PIPE_BUFFER_SIZE, &cbRead, NULL);
        DWORD dwError = fRead ? ERROR_SUCCESS : GetLastError();
        if (Stopping())
            return;
        if (!fRead) {
            LogCallError("ReadFile", dwError);
            // 234: the message was longer than the buffer; its rest is the
            // next read and is served as a request of its own.
            if (dwError == ERROR_MORE_DATA)
                continue;
            // Anything else (109: the client left without "exit") lasts.
            ReadyForNextClient(pCreatePace);
            return;
        }
        BoundMessage(szBuf, cbRead);
        // The client's text as the log shows it: its own bytes go back to it.
        char szShown[MESSAGE_SIZE];
        snprintf(message, MESSAGE_SIZE, "Received: %s\n",
                 MaskControlBytes(szShown, sizeof szShown, szBuf));
        WriteLog(message);

        RequestResult result = HandleRequest(szBuf, message, MESSAGE_SIZE);
        if (Stopping())
            return;
        // Failed writes are not acted on: the next read shows whether the
        // client is still there.
        DWORD cbWritten = 0;
        if (result == RequestExit) {
            WriteFile(PipeHandle, szBuf, (DWORD)strlen(szBuf) + 1, &cbWritten, NULL);
            if (Stopping())
                return;
            WriteLog("Client exited\n");
            ReadyForNextClient(pCreatePace);
            return;
        }
        WriteLog(MaskControlBytes(szShown, sizeof szShown, message));
        WriteFile(PipeHandle, message, (DWORD)strlen(message) + 1, &cbWritten, NULL);
        if (Stopping())
            return;
    }
}

void ServePipeClients(void)
{
    // Cancelling a blocked call needs only THREAD_TERMINATE. Taken before the
    // state changes, so a stop that sees the loop serving also sees its thread.
    HANDLE hThread = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hThread,
                         THREAD_TERMINATE, FALSE, 0)) {
        LogCallError("DuplicateHandle", GetLastError());
        hThread = NULL;
    }
    ServerThread = hThread;
    // A stop that came before the loop began has already let go of the instance.
    if (InterlockedCompareExchange(&ServerState, ServerServing, ServerIdle) != ServerIdle) {
        ServerThread = NULL;
        if (hThread != NULL)
            CloseHandle(hThread);
        return;
    }

    // One spare byte: a request of a full buffer without a NUL still ends.
    char szBuf[PIPE_BUFFER_SIZE + 1];
    char message[MESSAGE_SIZE];
    memset(message, 0, sizeof message);
    memset(szBuf, 0, sizeof szBuf);
    WriteLog("Named pipe server\n");

    RetryPace waitPace = {0, 0}, createPace = {0, 0};
    while (!Stopping()) {
        // Never a wait without an instance: a loop started without one makes
        // one first, as a start does, at the pace of a failing wait.
        if (PipeHandle == INVALID_HANDLE_VALUE) {
            if (CreatePipeInstance() < 0) {
                PaceFailure(&waitPace);
                PauseUnlessStopping(waitPace.dwPauseMs);
            }
        } else if (WaitForClient(&waitPace, &createPace)) {
            ServeClient(szBuf, message, &createPace);
        }
    }
    InterlockedExchange(&ServerState, ServerFinished);
}

int StopPipeServer(DWORD dwTimeoutMs)
{
    InterlockedExchange(&StopRequested, 1);
    if (InterlockedCompareExchange(&ServerState, ServerFinished, ServerIdle) == ServerIdle)
        return 1;

    HANDLE hThread = ServerThread;
    DWORD dwStart = GetTickCount();
    while (ServerState != ServerFinished) {
        // Closing the handle would not end a call blocked on it: cancel it.
        if (hThread != NULL)
            CancelSynchronousIo(hThread);
        if (GetTickCount() - dwStart >= dwTimeoutMs)
            break;
        Sleep(STOP_CANCEL_INTERVAL_MS);
    }
    ServerThread = NULL;
    if (hThread != NULL)
        CloseHandle(hThread);
    return ServerState == ServerFinished;
}

void ResetPipeServer(void)
{
    InterlockedExchange(&StopRequested, 0);
    InterlockedExchange(&ServerState, ServerIdle);
}
