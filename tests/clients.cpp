// The connection loop on a thread of the test process, and the pipe clients
// that talk to it or to the service.
#include "support.h"

#include "pipe/instance.h"
#include "pipe/server.h"

static DWORD WINAPI LoopThread(LPVOID)
{
    ServePipeClients();
    return 0;
}

HANDLE StartLoopThread(bool fCreate)
{
    ResetPipeServer();
    size_t nLines = LogLines().size();
    if (fCreate)
        CreatePipeInstance();
    HANDLE hThread = CreateThread(NULL, 0, LoopThread, NULL, 0, NULL);
    // The loop logs its start just before it waits; a client that came sooner
    // would meet the instance before the wait, which tests provoke on purpose.
    WaitForLogLines(nLines + (fCreate ? 2 : 1));
    return hThread;
}

bool StopLoopThread(HANDLE hThread)
{
    bool fLetGo = StopPipeServer(LOOP_STOP_WAIT_MS) != 0;
    ClosePipeInstance();
    bool fEnded = WaitForSingleObject(hThread, LOOP_STOP_WAIT_MS) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    ResetPipeServer();
    return fLetGo && fEnded;
}

HANDLE OpenClient(DWORD *pdwError, DWORD dwWaitMs, bool fWaitForName, const char *szPipe,
                  OpenRetries *pRetries)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        HANDLE hPipe = CreateFileA(szPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   0, NULL);
        DWORD dwError = GetLastError();
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(hPipe, &dwMode, NULL, NULL);
            return hPipe;
        }
        bool fPassing = dwError == ERROR_PIPE_BUSY || (fWaitForName && dwError == ERROR_FILE_NOT_FOUND);
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (!fPassing || dwElapsed >= dwWaitMs) {
            if (pdwError != NULL)
                *pdwError = dwError;
            return INVALID_HANDLE_VALUE;
        }
        if (pRetries != NULL)
            ++(dwError == ERROR_PIPE_BUSY ? pRetries->nBusy : pRetries->nNotFound);
        // Busy: back the moment an instance is free. No name: nothing to wait on.
        if (dwError != ERROR_PIPE_BUSY || !WaitNamedPipeA(szPipe, dwWaitMs - dwElapsed))
            Sleep(5);
    }
}

bool SendBytes(HANDLE hPipe, const void *pb, DWORD cb)
{
    DWORD cbWritten = 0;
    return WriteFile(hPipe, pb, cb, &cbWritten, NULL) && cbWritten == cb;
}

bool SendText(HANDLE hPipe, const std::string &text)
{
    return SendBytes(hPipe, text.c_str(), (DWORD)text.size() + 1);
}

bool ReadMessage(HANDLE hPipe, std::string *pMessage)
{
    char buf[MESSAGE_SIZE * 2];
    DWORD cbRead = 0;
    if (!ReadFile(hPipe, buf, sizeof buf, &cbRead, NULL))
        return false;
    pMessage->assign(buf, cbRead);
    return true;
}

std::string Ask(HANDLE hPipe, const std::string &request)
{
    std::string reply;
    if (!SendText(hPipe, request) || !ReadMessage(hPipe, &reply))
        return "<no reply>";
    if (reply.empty() || reply.back() != '\0')
        return "<reply without NUL: " + reply + ">";
    reply.pop_back();
    return reply;
}

std::string SayExit(HANDLE hPipe)
{
    std::string echo = Ask(hPipe, EXIT_COMMAND);
    CloseHandle(hPipe);
    return echo;
}
