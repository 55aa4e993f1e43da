#include "owner.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

// A service SID: S-1-5-80 and five sub-authorities made from the service's name.
static BOOL IsServiceSid(PSID pSid)
{
    static const SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    return IsValidSid(pSid) && *GetSidSubAuthorityCount(pSid) == SECURITY_SERVICE_ID_RID_COUNT &&
           *GetSidSubAuthority(pSid, 0) == SECURITY_SERVICE_ID_BASE_RID &&
           memcmp(GetSidIdentifierAuthority(pSid), &ntAuthority, sizeof ntAuthority) == 0;
}

BOOL LearnPipeSelf(PipeSelf *pSelf, const char **pszFailedCall)
{
    HANDLE hToken = NULL;
    DWORD cb = 0;
    pSelf->pFullAccess = pSelf->pOwner = NULL;
    *pszFailedCall = "OpenProcessToken";
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return FALSE;
    if (QueryProcessToken(hToken, TokenGroups, &pSelf->groups, sizeof pSelf->groups, &cb)) {
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
        QueryProcessToken(hToken, TokenUser, &pSelf->user, sizeof pSelf->user, &cb))
        pSelf->pFullAccess = pSelf->user.user.User.Sid;
    if (pSelf->pFullAccess != NULL && pSelf->pOwner == NULL &&
        QueryProcessToken(hToken, TokenOwner, &pSelf->owner, sizeof pSelf->owner, &cb))
        pSelf->pOwner = pSelf->owner.owner.Owner;
    DWORD dwError = GetLastError();
    CloseHandle(hToken);
    SetLastError(dwError);
    return pSelf->pOwner != NULL;
}

BOOL BuildPipeSddl(const PipeSelf *pSelf, char *szSddl, size_t cchSddl,
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

DWORD CompareOwner(const PipeSelf *pSelf, HANDLE hPipe, BOOL *pfOurs)
{
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    DWORD dwError = GetSecurityInfo(hPipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                                    NULL, NULL, NULL, &pSd);
    *pfOurs = dwError == ERROR_SUCCESS && EqualSid(pOwner, pSelf->pOwner);
    if (dwError == ERROR_SUCCESS)
        LocalFree(pSd);
    return dwError;
}
