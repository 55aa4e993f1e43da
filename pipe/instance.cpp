#include "instance.h"

#include <sddl.h>
#include <stdio.h>

#include "../log/log.h"

const char *PipeName = PIPE_NAME;
HANDLE PipeHandle = INVALID_HANDLE_VALUE;

// PIPE_SDDL plus full access for the user of this process's token.
static BOOL BuildPipeSddl(char *szSddl, size_t cchSddl)
{
    HANDLE hToken = NULL;
    BYTE rgbUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cbUser = 0;
    LPSTR szSid = NULL;
    BOOL fOk = FALSE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
        GetTokenInformation(hToken, TokenUser, rgbUser, sizeof rgbUser, &cbUser) &&
        ConvertSidToStringSidA(((TOKEN_USER *)rgbUser)->User.Sid, &szSid)) {
        int cch = snprintf(szSddl, cchSddl, "%s(A;;FA;;;%s)", PIPE_SDDL, szSid);
        fOk = cch > 0 && (size_t)cch < cchSddl;
        if (!fOk)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    DWORD dwError = GetLastError();
    if (szSid != NULL)
        LocalFree(szSid);
    if (hToken != NULL)
        CloseHandle(hToken);
    SetLastError(dwError);
    return fOk;
}

// Creates one instance without logging. First-instance only when we hold none
// of our own: then a name someone else holds makes the creation fail rather
// than be shared. While we hold one, the flag would fail on Windows with
// ERROR_ACCESS_DENIED whenever the last client still holds its end (Wine 8
// ignores the flag, so only Windows shows this).
static HANDLE CreateInstanceHandle(BOOL fFirst, const char **pszFailedCall)
{
    char szSddl[PIPE_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSd = NULL;
    *pszFailedCall = "GetTokenInformation";
    if (!BuildPipeSddl(szSddl, sizeof szSddl))
        return INVALID_HANDLE_VALUE;
    *pszFailedCall = "ConvertStringSecurityDescriptorToSecurityDescriptor";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &pSd, NULL))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = pSd;
    sa.bInheritHandle = FALSE;

    *pszFailedCall = "CreateNamedPipe";
    HANDLE hPipe = CreateNamedPipeA(
        PipeName, PIPE_ACCESS_DUPLEX | (fFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
        (DWORD)PIPE_BUFFER_SIZE, (DWORD)PIPE_BUFFER_SIZE, PIPE_DEFAULT_TIMEOUT_MS, &sa);
    DWORD dwError = GetLastError();
    // The pipe keeps its own copy of the descriptor.
    LocalFree(pSd);
    SetLastError(dwError);
    return hPipe;
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
    PipeHandle = CreateInstanceHandle(PipeHandle == INVALID_HANDLE_VALUE, &szFailedCall);
    return LogCreation(PipeHandle, szFailedCall, GetLastError());
}

void ReplacePipeInstance(void)
{
    const char *szFailedCall = NULL;
    HANDLE hNext = CreateInstanceHandle(PipeHandle == INVALID_HANDLE_VALUE, &szFailedCall);
    DWORD dwError = GetLastError();
    ClosePipeInstance();
    PipeHandle = hNext;
    LogCreation(hNext, szFailedCall, dwError);
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
