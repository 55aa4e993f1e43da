// The pipe's access list.
#include "identity.h"

#include <sddl.h>
#include <stdio.h>

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

BOOL MakePipeSecurity(PSID pFullAccess, PSID pOwner, PSECURITY_DESCRIPTOR *ppSd,
                      const char **pszFailedCall)
{
    LPSTR szSid = NULL, szOwner = NULL;
    *pszFailedCall = "ConvertSidToStringSid";
    if (!ConvertSidToStringSidA(pFullAccess, &szSid) ||
        (pOwner != NULL && !ConvertSidToStringSidA(pOwner, &szOwner))) {
        LocalFree(szSid);
        return FALSE;
    }
    char szSddl[PIPE_SDDL_SIZE];
    int cch = snprintf(szSddl, sizeof szSddl, "%s%s%s" PIPE_OWN_ENTRY_FORMAT,
                       szOwner != NULL ? "O:" : "", szOwner != NULL ? szOwner : "", PIPE_SDDL,
                       szSid);
    LocalFree(szSid);
    LocalFree(szOwner);
    if (cch <= 0 || (size_t)cch >= sizeof szSddl) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *pszFailedCall = "ConvertStringSecurityDescriptorToSecurityDescriptor";
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, ppSd,
                                                                NULL);
}
