// A seam: the real call. A test that holds the log and lets go of it once it
// has been refused defines CreateLogFile in an object file, so this member of
// the library is then never linked in.
#include "seams_win.h"

HANDLE CreateLogFile(LPCSTR szName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    return CreateFileA(szName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
}
