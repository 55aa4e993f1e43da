// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

DWORD ListFileHolders(DWORD dwSession, UINT *pnNeeded, UINT *pnInfo, RM_PROCESS_INFO *rgInfo,
                      DWORD *pdwReasons)
{
    return RmGetList(dwSession, pnNeeded, pnInfo, rgInfo, pdwReasons);
}
