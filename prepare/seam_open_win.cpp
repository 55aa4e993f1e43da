// The real open. A test that models a list that shuts us out defines
// OpenLogPlace in an object file, so this member of the library is then never
// linked in.
#include "prepare.h"

HANDLE OpenLogPlace(const wchar_t *wszLog, DWORD dwAccess)
{
    return CreateFileW(wszLog, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
}
