// The real call. A test that models a log made by another user defines
// OwnerOfFile in an object file, so this member of the library is then never
// linked in.
#include "prepare.h"

#include <aclapi.h>

DWORD OwnerOfFile(HANDLE hFile, PSID *ppOwner, PSECURITY_DESCRIPTOR *ppSd)
{
    return GetSecurityInfo(hFile, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, ppOwner, NULL,
                           NULL, NULL, ppSd);
}
