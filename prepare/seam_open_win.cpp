// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

HANDLE CreateLogPlace(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                      DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    return CreateFileW(wszName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
}
