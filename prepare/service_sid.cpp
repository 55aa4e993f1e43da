// The service's own SID: given to it by its service manager, and known to us
// by the rule Windows makes it by.
#include "prepare.h"

#include "../log/log.h"

// Older headers (Wine's among them) lack it.
#ifndef SERVICE_SID_TYPE_UNRESTRICTED
#define SERVICE_SID_TYPE_UNRESTRICTED 0x00000001
#endif

BOOL GiveServiceItsSid(const wchar_t *wszService)
{
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        hManager != NULL ? OpenServiceW(hManager, wszService, SERVICE_CHANGE_CONFIG) : NULL;
    SERVICE_SID_INFO info = {SERVICE_SID_TYPE_UNRESTRICTED};
    BOOL fDone = hService != NULL &&
                 ChangeServiceConfig2W(hService, SERVICE_CONFIG_SERVICE_SID_INFO, &info);
    DWORD dwError = GetLastError();
    if (fDone)
        Say(EVENTLOG_INFORMATION_TYPE, "gave \"%ls\" a SID of its own", wszService);
    // 124: Wine's service manager has no SID types, which Windows has had
    // since Vista; the service then runs as its account alone.
    else if (hService != NULL && dwError == ERROR_INVALID_LEVEL)
        Say(EVENTLOG_WARNING_TYPE,
            "the service manager gives services no SID of their own (error %lu): \"%ls\" runs "
            "as its account alone",
            (unsigned long)dwError, wszService);
    else
        Say(EVENTLOG_ERROR_TYPE, "%s failed for \"%ls\": error %lu",
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

BOOL MakeServiceSid(const wchar_t *wszService, PSID *ppSid)
{
    if (ServiceSid(wszService, ppSid))
        return TRUE;
    Say(EVENTLOG_ERROR_TYPE, "cannot derive the service's SID from its name: error %lu",
        (unsigned long)GetLastError());
    return FALSE;
}
