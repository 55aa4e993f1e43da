// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

BOOL ChangeServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID pvInfo)
{
    return ChangeServiceConfig2W(hService, dwInfoLevel, pvInfo);
}
