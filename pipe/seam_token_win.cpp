// A seam: the real call. Wine gives no process a service SID, which Windows
// gives a service with a SID type of its own: the pipe model of the tests
// defines QueryProcessToken in an object file to put one in, and this member of the
// library is then never linked in.
#include "seams_win.h"

BOOL QueryProcessToken(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, LPVOID pvInfo,
                       DWORD cbInfo, DWORD *pcbNeeded)
{
    return GetTokenInformation(hToken, infoClass, pvInfo, cbInfo, pcbNeeded);
}
