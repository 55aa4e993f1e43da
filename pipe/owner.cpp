#include "owner.h"

#include <aclapi.h>
#include <stddef.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "seams_win.h"

// Read and write for everyone, local, remote and anonymous alike, but neither
// creating instances nor changing the pipe's permissions or owner: a null DACL
// would let any user answer our clients or lock everyone out. The service
// itself is added at run time with full access, by its own SID where its
// token holds one, otherwise by its account: a further instance of an
// existing pipe needs FILE_CREATE_PIPE_INSTANCE, which LocalService, say,
// would otherwise lack.
static const char PIPE_SDDL[] =
    "D:(A;;0x12019b;;;WD)(A;;0x12019b;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";
// The entry appended for the service's own account, less its SID.
#define PIPE_OWN_ENTRY_FORMAT "(A;;FA;;;%s)"
// The longest SID as a string: "S-1-", an authority of up to 15 characters and
// 15 sub-authorities of a dash and up to 10 digits each.
static const size_t SID_STRING_MAX_CHARS = 4 + 15 + 15 * 11;
// With the owner ("O:" and a SID) where one is named.
static const size_t PIPE_SDDL_SIZE = sizeof "O:" - 1 + SID_STRING_MAX_CHARS + sizeof PIPE_SDDL +
                                     sizeof PIPE_OWN_ENTRY_FORMAT - sizeof "%s" +
                                     SID_STRING_MAX_CHARS;

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

BOOL MakePipeSecurity(const PipeSelf *pSelf, PSECURITY_DESCRIPTOR *ppSd,
                      const char **pszFailedCall)
{
    LPSTR szSid = NULL;
    *pszFailedCall = "ConvertSidToStringSid";
    if (!ConvertSidToStringSidA(pSelf->pFullAccess, &szSid))
        return FALSE;
    char szSddl[PIPE_SDDL_SIZE];
    BOOL fOwnerNamed = pSelf->pOwner == pSelf->pFullAccess;
    int cch = snprintf(szSddl, sizeof szSddl, "%s%s%s" PIPE_OWN_ENTRY_FORMAT,
                       fOwnerNamed ? "O:" : "", fOwnerNamed ? szSid : "", PIPE_SDDL, szSid);
    LocalFree(szSid);
    if (cch <= 0 || (size_t)cch >= sizeof szSddl) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *pszFailedCall = "ConvertStringSecurityDescriptorToSecurityDescriptor";
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, ppSd,
                                                                NULL);
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
