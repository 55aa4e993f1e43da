// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

#include <aclapi.h>

DWORD WriteFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID pOwner, PACL pDacl)
{
    return SetSecurityInfo(hFile, SE_FILE_OBJECT, si, pOwner, NULL, pDacl, NULL);
}
