// The service's own SID: given to it by its service manager.
#include "prepare.h"

#include "../identity/identity.h"
#include "seams_win.h"

BOOL GiveServiceItsSid(const wchar_t *wszService)
{
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        hManager != NULL ? OpenServiceW(hManager, wszService, SERVICE_CHANGE_CONFIG) : NULL;
    SERVICE_SID_INFO info = {SERVICE_OWN_SID_TYPE};
    BOOL fDone = hService != NULL &&
                 ChangeServiceSetting(hService, SERVICE_CONFIG_SERVICE_SID_INFO, &info);
    DWORD dwError = GetLastError();
    if (fDone)
        Say(EVENTLOG_INFORMATION_TYPE, MSG_PREPARE_STEP, "gave \"%ls\" a SID of its own",
            wszService);
    // 124: Wine's service manager has no SID types, which Windows has had
    // since Vista; the service then runs as its account alone.
    else if (hService != NULL && dwError == ERROR_INVALID_LEVEL)
        Say(EVENTLOG_WARNING_TYPE, MSG_PREPARE_STEP,
            "the service manager gives services no SID of their own (error %lu): \"%ls\" runs "
            "as its account alone",
            (unsigned long)dwError, wszService);
    else
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED, "%s failed for \"%ls\": error %lu",
            hManager == NULL   ? "OpenSCManager"
            : hService == NULL ? "OpenService"
                               : "ChangeServiceConfig2",
            wszService, (unsigned long)dwError);
    if (hService != NULL)
        CloseServiceHandle(hService);
    if (hManager != NULL)
        CloseServiceHandle(hManager);
    return fDone || (hService != NULL && dwError == ERROR_INVALID_LEVEL);
}
