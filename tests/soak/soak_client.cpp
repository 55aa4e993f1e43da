// The clients: each connection as a program would make it, every pipe call
// bounded in time so that a hung service fails the run instead of hanging it.
#include "soak.h"

#include <stdio.h>
#include <string.h>

// Waits for an overlapped call that has been issued; false with *pdwError set
// when it failed or took too long (then it is cancelled).
static bool FinishIo(HANDLE hPipe, OVERLAPPED *pov, BOOL fDone, DWORD *pcb, DWORD *pdwError)
{
    if (!fDone) {
        DWORD dwError = GetLastError();
        if (dwError != ERROR_IO_PENDING) {
            *pdwError = dwError;
            return false;
        }
        if (WaitForSingleObject(pov->hEvent, SOAK_IO_TIMEOUT_MS) != WAIT_OBJECT_0) {
            CancelIo(hPipe);
            GetOverlappedResult(hPipe, pov, pcb, TRUE);
            *pdwError = WAIT_TIMEOUT;
            return false;
        }
    }
    if (!GetOverlappedResult(hPipe, pov, pcb, FALSE)) {
        *pdwError = GetLastError();
        return false;
    }
    return true;
}

static bool WriteMessage(HANDLE hPipe, HANDLE hEvent, const std::string &bytes, DWORD *pdwError)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = hEvent;
    DWORD cbWritten = 0;
    BOOL fDone = WriteFile(hPipe, bytes.data(), (DWORD)bytes.size(), NULL, &ov);
    if (!FinishIo(hPipe, &ov, fDone, &cbWritten, pdwError))
        return false;
    if (cbWritten != bytes.size()) {
        *pdwError = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

// Reads one whole message; a message that does not fit is a failure.
static bool ReadWholeMessage(HANDLE hPipe, HANDLE hEvent, std::string *pMessage, DWORD *pdwError)
{
    char szBuf[MESSAGE_SIZE * 2];
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = hEvent;
    DWORD cbRead = 0;
    BOOL fDone = ReadFile(hPipe, szBuf, (DWORD)sizeof szBuf, NULL, &ov);
    if (!FinishIo(hPipe, &ov, fDone, &cbRead, pdwError))
        return false;
    pMessage->assign(szBuf, cbRead);
    return true;
}

// Opens the pipe the way a well-behaved client does: a busy pipe is waited
// for, a name gone between two clients is tried again.
static HANDLE ConnectClient(ClientTally *pTally, DWORD *pdwError)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        HANDLE hPipe = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(hPipe, &dwMode, NULL, NULL)) {
                *pdwError = GetLastError();
                CloseHandle(hPipe);
                return INVALID_HANDLE_VALUE;
            }
            return hPipe;
        }
        DWORD dwError = GetLastError();
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= SOAK_CONNECT_TIMEOUT_MS ||
            (dwError != ERROR_PIPE_BUSY && dwError != ERROR_FILE_NOT_FOUND)) {
            *pdwError = dwError;
            return INVALID_HANDLE_VALUE;
        }
        if (dwError == ERROR_PIPE_BUSY) {
            InterlockedIncrement(&pTally->nBusy);
            WaitNamedPipeA(PIPE_NAME, SOAK_CONNECT_TIMEOUT_MS - dwElapsed);
        } else {
            InterlockedIncrement(&pTally->nNotFound);
            Sleep(1);
        }
    }
}

// Shows a message for a failure report: printable, and not too long.
static std::string Shown(const std::string &bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size() && text.size() < 160; ++i) {
        unsigned char ch = (unsigned char)bytes[i];
        if (ch >= 0x20 && ch < 0x7F) {
            text.push_back((char)ch);
        } else {
            char szHex[8];
            snprintf(szHex, sizeof szHex, "\\x%02X", ch);
            text += szHex;
        }
    }
    if (text.size() >= 160)
        text += "...";
    return text;
}

void RunConnection(const Connection *pConn, ClientTally *pTally)
{
    int iConn = pConn->iConnection;
    DWORD dwError = 0;
    HANDLE hPipe = ConnectClient(pTally, &dwError);
    if (!Check(hPipe != INVALID_HANDLE_VALUE, "connection %d: cannot connect: error %lu", iConn,
               (unsigned long)dwError))
        return;
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    size_t nRequests = pConn->requests.size();
    for (size_t i = 0; i < nRequests; ++i) {
        const Request &req = pConn->requests[i];
        if (!Check(WriteMessage(hPipe, hEvent, req.bytes, &dwError),
                   "connection %d request %u: write failed: error %lu", iConn, (unsigned)i,
                   (unsigned long)dwError))
            goto Done;
        InterlockedIncrement(&pTally->nRequests);
        if (i + 1 == nRequests && pConn->end == EndVanishAfterSend)
            goto Done;
        std::string reply;
        bool fRead = ReadWholeMessage(hPipe, hEvent, &reply, &dwError);
        if (!Check(fRead, "connection %d request %u: no reply: error %lu", iConn, (unsigned)i,
                   (unsigned long)dwError))
            goto Done;
        InterlockedIncrement(&pTally->nReplies);
        // The reply is its text and one NUL, as one message.
        std::string expected = req.reply + std::string(1, '\0');
        if (!Check(reply == expected, "connection %d request %u: expected \"%s\", got \"%s\"",
                   iConn, (unsigned)i, Shown(expected).c_str(), Shown(reply).c_str()))
            goto Done;
    }
    if (pConn->end == EndExit) {
        std::string command(EXIT_COMMAND, sizeof EXIT_COMMAND);
        std::string echo;
        bool fEchoed = WriteMessage(hPipe, hEvent, command, &dwError) &&
                       ReadWholeMessage(hPipe, hEvent, &echo, &dwError);
        Check(fEchoed && echo == command, "connection %d: exit not echoed (error %lu, got \"%s\")",
              iConn, (unsigned long)dwError, Shown(echo).c_str());
    }
Done:
    CloseHandle(hPipe);
    CloseHandle(hEvent);
}

struct RacerArgs {
    const Connection *pConn;
    ClientTally *pTally;
    HANDLE hGo;
};

static DWORD WINAPI RacerThread(LPVOID pv)
{
    RacerArgs *pArgs = (RacerArgs *)pv;
    WaitForSingleObject(pArgs->hGo, INFINITE);
    RunConnection(pArgs->pConn, pArgs->pTally);
    return 0;
}

void RunUnit(const Unit *pUnit, ClientTally *pTally)
{
    size_t nRacers = pUnit->connections.size();
    if (nRacers == 1) {
        RunConnection(&pUnit->connections[0], pTally);
        return;
    }
    RacerArgs args[MAXIMUM_WAIT_OBJECTS];
    HANDLE hThreads[MAXIMUM_WAIT_OBJECTS];
    if (nRacers > MAXIMUM_WAIT_OBJECTS)
        nRacers = MAXIMUM_WAIT_OBJECTS;
    // All threads wait at one gate, so they reach for the pipe together.
    HANDLE hGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD nStarted = 0;
    for (size_t i = 0; i < nRacers; ++i) {
        args[i].pConn = &pUnit->connections[i];
        args[i].pTally = pTally;
        args[i].hGo = hGo;
        hThreads[nStarted] = CreateThread(NULL, 0, RacerThread, &args[i], 0, NULL);
        if (Check(hThreads[nStarted] != NULL, "cannot start a racing client: error %lu",
                  (unsigned long)GetLastError()))
            ++nStarted;
    }
    SetEvent(hGo);
    DWORD dwWait = WaitForMultipleObjects(nStarted, hThreads, TRUE, SOAK_GROUP_TIMEOUT_MS);
    if (!Check(dwWait == WAIT_OBJECT_0, "racing clients from connection %d did not finish",
               pUnit->connections[0].iConnection)) {
        // Every call they make is bounded: give them the time to give up.
        dwWait = WaitForMultipleObjects(nStarted, hThreads, TRUE,
                                        SOAK_IO_TIMEOUT_MS + SOAK_CONNECT_TIMEOUT_MS);
        if (dwWait != WAIT_OBJECT_0)
            AbandonRun("racing clients hang"); // they still use this frame
    }
    for (DWORD i = 0; i < nStarted; ++i)
        CloseHandle(hThreads[i]);
    CloseHandle(hGo);
}
