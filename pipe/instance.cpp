#include "instance.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "../log/log.h"
#include "create.h"

const char *PipeName = PIPE_NAME;
HANDLE PipeHandle = INVALID_HANDLE_VALUE;

static const char CREATE_CALL[] = "CreateNamedPipe";

// What GetTokenInformation returns: a structure followed by the SIDs it points
// to, so the buffer is aligned for the structure. Room for a service token's
// groups; a token with more gets what a token without a service SID gets.
union TokenInfo {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    TOKEN_GROUPS groups;
    BYTE rgb[8192];
};

// A service SID: S-1-5-80 and five sub-authorities made from the service's name.
static BOOL IsServiceSid(PSID pSid)
{
    static const SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    return IsValidSid(pSid) && *GetSidSubAuthorityCount(pSid) == SECURITY_SERVICE_ID_RID_COUNT &&
           *GetSidSubAuthority(pSid, 0) == SECURITY_SERVICE_ID_BASE_RID &&
           memcmp(GetSidIdentifierAuthority(pSid), &ntAuthority, sizeof ntAuthority) == 0;
}

// The SID that gets full access: where the token holds a service SID (a
// service given a SID of its own; one process, one service), that one, so
// that no other service of the same account can add instances of our pipe;
// otherwise the token's user.
static PSID FullAccessSid(HANDLE hToken, TokenInfo *pInfo, const char **pszFailedCall)
{
    DWORD cb = 0;
    if (GetTokenInformation(hToken, TokenGroups, pInfo, sizeof *pInfo, &cb)) {
        for (DWORD i = 0; i < pInfo->groups.GroupCount; ++i) {
            const SID_AND_ATTRIBUTES &group = pInfo->groups.Groups[i];
            if ((group.Attributes & SE_GROUP_ENABLED) && IsServiceSid(group.Sid))
                return group.Sid;
        }
    }
    *pszFailedCall = "GetTokenInformation";
    if (!GetTokenInformation(hToken, TokenUser, pInfo, sizeof *pInfo, &cb))
        return NULL;
    return pInfo->user.User.Sid;
}

// PIPE_SDDL plus full access for our own account. Names the failed call.
static BOOL BuildPipeSddl(char *szSddl, size_t cchSddl, const char **pszFailedCall)
{
    HANDLE hToken = NULL;
    TokenInfo info;
    PSID pSid = NULL;
    LPSTR szSid = NULL;
    BOOL fOk = FALSE;
    *pszFailedCall = "OpenProcessToken";
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
        (pSid = FullAccessSid(hToken, &info, pszFailedCall)) != NULL) {
        *pszFailedCall = "ConvertSidToStringSid";
        if (ConvertSidToStringSidA(pSid, &szSid)) {
            int cch = snprintf(szSddl, cchSddl, "%s" PIPE_OWN_ENTRY_FORMAT, PIPE_SDDL, szSid);
            fOk = cch > 0 && (size_t)cch < cchSddl;
            if (!fOk)
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    DWORD dwError = GetLastError();
    if (szSid != NULL)
        LocalFree(szSid);
    if (hToken != NULL)
        CloseHandle(hToken);
    SetLastError(dwError);
    return fOk;
}

// Creates one instance without logging; on failure *pszFailedCall names the
// call and GetLastError() its error.
static HANDLE CreateInstanceHandle(BOOL fFirst, const char **pszFailedCall)
{
    char szSddl[PIPE_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!BuildPipeSddl(szSddl, sizeof szSddl, pszFailedCall))
        return INVALID_HANDLE_VALUE;
    *pszFailedCall = "ConvertStringSecurityDescriptorToSecurityDescriptor";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &pSd, NULL))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = pSd;
    sa.bInheritHandle = FALSE;

    *pszFailedCall = CREATE_CALL;
    HANDLE hPipe = CreatePipeEnd(
        PipeName, PIPE_ACCESS_DUPLEX | (fFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
        (DWORD)PIPE_BUFFER_SIZE, (DWORD)PIPE_BUFFER_SIZE, PIPE_DEFAULT_TIMEOUT_MS, &sa);
    DWORD dwError = GetLastError();
    // The pipe keeps its own copy of the descriptor.
    LocalFree(pSd);
    SetLastError(dwError);
    return hPipe;
}

// Whether the instance's owner is the owner this process gives what it
// creates. A further instance takes the owner of its name, which the name's
// first instance gave it: the same account, ours, means an earlier run of ours.
static BOOL OwnedByUs(HANDLE hPipe, const char **pszFailedCall)
{
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    HANDLE hToken = NULL;
    TokenInfo info;
    DWORD cb = 0;
    BOOL fOurs = FALSE;
    *pszFailedCall = "GetSecurityInfo";
    DWORD dwError = GetSecurityInfo(hPipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                                    NULL, NULL, NULL, &pSd);
    if (dwError == ERROR_SUCCESS) {
        *pszFailedCall = "GetTokenInformation";
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
            GetTokenInformation(hToken, TokenOwner, &info, sizeof info, &cb)) {
            fOurs = EqualSid(pOwner, info.owner.Owner);
            // Someone else's name: refused as the first-instance creation was.
            *pszFailedCall = CREATE_CALL;
            dwError = fOurs ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        } else {
            dwError = GetLastError();
        }
    }
    if (hToken != NULL)
        CloseHandle(hToken);
    if (pSd != NULL)
        LocalFree(pSd);
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
    // First-instance: a name that someone else holds makes the creation fail
    // rather than be shared.
    HANDLE hPipe = CreateInstanceHandle(TRUE, &szFailedCall);
    // 5: on Windows a name outlives its last instance while a client still
    // holds its end, as one of our last run may (an upgrade restarts us while
    // clients are connected). Wine ignores the flag and drops the name, so
    // only the tests' model shows this.
    if (hPipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        szFailedCall == CREATE_CALL) {
        hPipe = CreateInstanceHandle(FALSE, &szFailedCall);
        if (hPipe != INVALID_HANDLE_VALUE && !OwnedByUs(hPipe, &szFailedCall)) {
            DWORD dwError = GetLastError();
            CloseHandle(hPipe);
            SetLastError(dwError);
            hPipe = INVALID_HANDLE_VALUE;
        }
    }
    PipeHandle = hPipe;
    return LogCreation(hPipe, szFailedCall, GetLastError());
}

int ReplacePipeInstance(void)
{
    const char *szFailedCall = NULL;
    // Never first-instance: the name is ours, and on Windows the flag fails
    // while the last client still holds its end.
    HANDLE hNext = CreateInstanceHandle(FALSE, &szFailedCall);
    if (hNext == INVALID_HANDLE_VALUE)
        return LogCreation(hNext, szFailedCall, GetLastError());
    ClosePipeInstance();
    PipeHandle = hNext;
    return LogCreation(hNext, NULL, ERROR_SUCCESS);
}

void ReusePipeInstance(void)
{
    // A disconnect discards what the client has not read yet, the echo of
    // "exit" say: wait until it has, or has gone.
    FlushFileBuffers(PipeHandle);
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
