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

// A service SID: S-1-5-80 and five sub-authorities made from the service's name.
static BOOL IsServiceSid(PSID pSid)
{
    static const SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    return IsValidSid(pSid) && *GetSidSubAuthorityCount(pSid) == SECURITY_SERVICE_ID_RID_COUNT &&
           *GetSidSubAuthority(pSid, 0) == SECURITY_SERVICE_ID_BASE_RID &&
           memcmp(GetSidIdentifierAuthority(pSid), &ntAuthority, sizeof ntAuthority) == 0;
}

// Who we are to the pipe: the SID that gets full access, and the owner that
// the name's first instance gives it, which a start that joins a living name
// checks. Where the token holds a service SID (a service given a SID of its
// own; one process, one service), both are it, so that no other service of
// the same account may add instances of our pipe, nor pass a name it made off
// as ours; it is named as owner where the token lets it own what it creates.
// Otherwise the token's user, and its default owner.
struct PipeSelf {
    // GetTokenInformation's answers: a structure followed by the SIDs it
    // points to, so each buffer is aligned for its structure. Room for a
    // service token's groups; a token with more is taken as one without a
    // service SID.
    union {
        TOKEN_GROUPS groups;
        BYTE rgb[8192];
    } groups;
    union {
        TOKEN_USER user;
        BYTE rgb[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    union {
        TOKEN_OWNER owner;
        BYTE rgb[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    } owner;
    PSID pFullAccess;
    PSID pOwner; // pFullAccess itself where it is named in the descriptor
};

// Fills *pSelf from this process's token. Names the failed call.
static BOOL LearnPipeSelf(PipeSelf *pSelf, const char **pszFailedCall)
{
    HANDLE hToken = NULL;
    DWORD cb = 0;
    pSelf->pFullAccess = pSelf->pOwner = NULL;
    *pszFailedCall = "OpenProcessToken";
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return FALSE;
    if (GetTokenInformation(hToken, TokenGroups, &pSelf->groups, sizeof pSelf->groups, &cb)) {
        for (DWORD i = 0; i < pSelf->groups.groups.GroupCount; ++i) {
            const SID_AND_ATTRIBUTES &group = pSelf->groups.groups.Groups[i];
            if ((group.Attributes & SE_GROUP_ENABLED) && IsServiceSid(group.Sid)) {
                pSelf->pFullAccess = group.Sid;
                if (group.Attributes & SE_GROUP_OWNER)
                    pSelf->pOwner = group.Sid;
                break;
            }
        }
    }
    *pszFailedCall = "GetTokenInformation";
    if (pSelf->pFullAccess == NULL &&
        GetTokenInformation(hToken, TokenUser, &pSelf->user, sizeof pSelf->user, &cb))
        pSelf->pFullAccess = pSelf->user.user.User.Sid;
    if (pSelf->pFullAccess != NULL && pSelf->pOwner == NULL &&
        GetTokenInformation(hToken, TokenOwner, &pSelf->owner, sizeof pSelf->owner, &cb))
        pSelf->pOwner = pSelf->owner.owner.Owner;
    DWORD dwError = GetLastError();
    CloseHandle(hToken);
    SetLastError(dwError);
    return pSelf->pOwner != NULL;
}

// PIPE_SDDL with our owner, where it is named, and our full-access entry.
static BOOL BuildPipeSddl(const PipeSelf *pSelf, char *szSddl, size_t cchSddl,
                          const char **pszFailedCall)
{
    LPSTR szSid = NULL;
    *pszFailedCall = "ConvertSidToStringSid";
    if (!ConvertSidToStringSidA(pSelf->pFullAccess, &szSid))
        return FALSE;
    BOOL fOwnerNamed = pSelf->pOwner == pSelf->pFullAccess;
    int cch = snprintf(szSddl, cchSddl, "%s%s%s" PIPE_OWN_ENTRY_FORMAT, fOwnerNamed ? "O:" : "",
                       fOwnerNamed ? szSid : "", PIPE_SDDL, szSid);
    LocalFree(szSid);
    BOOL fOk = cch > 0 && (size_t)cch < cchSddl;
    if (!fOk)
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return fOk;
}

// Creates one instance without logging; on failure *pszFailedCall names the
// call and GetLastError() its error.
static HANDLE CreateInstanceHandle(const PipeSelf *pSelf, BOOL fFirst, const char **pszFailedCall)
{
    char szSddl[PIPE_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!BuildPipeSddl(pSelf, szSddl, sizeof szSddl, pszFailedCall))
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

// Whether the instance's owner is ours. A further instance takes the owner of
// its name, which the name's first instance gave it: ours means an earlier
// run of ours made the name.
static BOOL OwnedByUs(const PipeSelf *pSelf, HANDLE hPipe, const char **pszFailedCall)
{
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    *pszFailedCall = "GetSecurityInfo";
    DWORD dwError = GetSecurityInfo(hPipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                                    NULL, NULL, NULL, &pSd);
    BOOL fOurs = dwError == ERROR_SUCCESS && EqualSid(pOwner, pSelf->pOwner);
    if (dwError == ERROR_SUCCESS) {
        // Someone else's name: refused as the first-instance creation was.
        *pszFailedCall = CREATE_CALL;
        dwError = fOurs ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        LocalFree(pSd);
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
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    if (LearnPipeSelf(&self, &szFailedCall))
        hPipe = CreateInstanceHandle(&self, TRUE, &szFailedCall);
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

int ReplacePipeInstance(void)
{
    const char *szFailedCall = NULL;
    PipeSelf self;
    // Never first-instance: the name is ours, and on Windows the flag fails
    // while the last client still holds its end.
    HANDLE hNext = INVALID_HANDLE_VALUE;
    if (LearnPipeSelf(&self, &szFailedCall))
        hNext = CreateInstanceHandle(&self, FALSE, &szFailedCall);
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
