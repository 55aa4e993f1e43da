// A seam: the real call. A test that records each report defines
// SendServiceStatus in an object file, so this member of the library is then
// never linked in.
#include "seams_win.h"

BOOL SendServiceStatus(SERVICE_STATUS_HANDLE hStatus, LPSERVICE_STATUS pStatus)
{
    return SetServiceStatus(hStatus, pStatus);
}
