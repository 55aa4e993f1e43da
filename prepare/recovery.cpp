// Recovery through the service manager's own calls, so that the package and
// the scripts set it alike and the package runs no program but ours.
#include "recovery.h"

#include "prepare.h"
#include "seams_win.h"

BOOL SetRecovery(const wchar_t *wszService)
{
    // The manager repeats the last action for every failure past the list.
    SC_ACTION rgActions[2] = {{SC_ACTION_RESTART, RECOVERY_RESTART_DELAY_MS},
                              {SC_ACTION_RESTART, RECOVERY_RESTART_DELAY_MS}};
    SERVICE_FAILURE_ACTIONSW actions = {RECOVERY_RESET_PERIOD_S, NULL, NULL, 2, rgActions};
    // Without the flag the actions run only where the process ends without
    // reporting SERVICE_STOPPED: never after a start that fails, which
    // reports STOPPED with its error.
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    // A restart action needs the right to start the service.
    const DWORD dwAccess = SERVICE_CHANGE_CONFIG | SERVICE_START;
    SC_HANDLE hService = hManager != NULL ? OpenServiceW(hManager, wszService, dwAccess) : NULL;
    const char *szFailed = NULL;
    BOOL fFlagRefused = FALSE;
    if (hManager == NULL)
        szFailed = "OpenSCManager";
    else if (hService == NULL)
        szFailed = "OpenService";
    else if (!ChangeServiceSetting(hService, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
        szFailed = "ChangeServiceConfig2 (failure actions)";
    else if (!ChangeServiceSetting(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        szFailed = "ChangeServiceConfig2 (failure actions flag)";
        fFlagRefused = TRUE;
    }
    DWORD dwError = GetLastError();
    // 124 for the flag alone: a manager without it (Wine's; Windows has had
    // it since Vista) runs the actions after a crash only.
    BOOL fNoFlag = fFlagRefused && dwError == ERROR_INVALID_LEVEL;
    if (szFailed == NULL)
        Say(EVENTLOG_INFORMATION_TYPE, MSG_PREPARE_STEP,
            "\"%ls\" restarts %lu ms after every failure, a failed start included", wszService,
            (unsigned long)RECOVERY_RESTART_DELAY_MS);
    else if (fNoFlag)
        Say(EVENTLOG_WARNING_TYPE, MSG_PREPARE_STEP,
            "the service manager has no failure actions flag (error %lu): \"%ls\" restarts %lu "
            "ms after a crash, not after a failed start",
            (unsigned long)dwError, wszService, (unsigned long)RECOVERY_RESTART_DELAY_MS);
    else
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED, "%s failed for \"%ls\": error %lu", szFailed, wszService,
            (unsigned long)dwError);
    if (hService != NULL)
        CloseServiceHandle(hService);
    if (hManager != NULL)
        CloseServiceHandle(hManager);
    return szFailed == NULL || fNoFlag;
}
