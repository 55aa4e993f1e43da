// A seam: the real call. A test that watches which names and flags reach the
// open defines CreateFileToCount in an object file, so this member of the
// library is then never linked in.
#include "seams_win.h"

HANDLE CreateFileToCount(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                         LPSECURITY_ATTRIBUTES psa, DWORD dwDisposition, DWORD dwFlags,
                         HANDLE hTemplate)
{
    return CreateFileW(wszName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
}
