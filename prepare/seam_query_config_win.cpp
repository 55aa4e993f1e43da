// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

BOOL QueryServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE pbBuffer, DWORD cbBuffer,
                         LPDWORD pcbNeeded)
{
    return QueryServiceConfig2W(hService, dwInfoLevel, pbBuffer, cbBuffer, pcbNeeded);
}
