#include "owner.h"

#include <aclapi.h>
#include <stddef.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "../identity/identity.h"
#include "seams_win.h"

BOOL LearnPipeSelf(PipeSelf *pSelf, const char **pszFailedCall)
{
    HANDLE hToken = NULL;
    DWORD cb = 0;
    pSelf->pFullAccess = pSelf->pOwner = NULL;
    *pszFailedCall = "OpenProcessToken";
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return FALSE;
    if (QueryProcessToken(hToken, TokenGroups, &pSelf->groups, sizeof pSelf->groups, &cb)) {
        // The groups follow the count in the buffer. Not indexed through
        // TOKEN_GROUPS' array of one, which the compiler may take at its word
        // and so look at the first group alone: a service's own SID is never
        // first.
        const SID_AND_ATTRIBUTES *rgGroups =
            (const SID_AND_ATTRIBUTES *)(pSelf->groups.rgb + offsetof(TOKEN_GROUPS, Groups));
        DWORD nGroups = pSelf->groups.groups.GroupCount;
        const DWORD nRoom = (DWORD)((sizeof pSelf->groups - offsetof(TOKEN_GROUPS, Groups)) /
                                    sizeof(SID_AND_ATTRIBUTES));
        for (DWORD i = 0; i < nGroups && i < nRoom; ++i) {
            const SID_AND_ATTRIBUTES &group = rgGroups[i];
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
