// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

#include <aclapi.h>

DWORD ReadFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID *ppOwner, PACL *ppDacl,
                           PSECURITY_DESCRIPTOR *ppSd)
{
    return GetSecurityInfo(hFile, SE_FILE_OBJECT, si, ppOwner, NULL, ppDacl, NULL, ppSd);
}
