#include "status.h"

#include "seams_win.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE ServiceStatusHandle;
DWORD CheckPoint = 1;

// An interrogate can arrive on the main thread while start-up reports on the
// service thread: one lock keeps each report whole and every advance counted.
static SRWLOCK StatusLock = SRWLOCK_INIT;

static BOOL ReportLocked(DWORD dwState, DWORD dwWin32ExitCode, DWORD dwSpecificCode,
                         DWORD dwWaitHint)
{
    ServiceStatus.dwControlsAccepted =
        (dwState == SERVICE_START_PENDING) ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatus.dwCurrentState = dwState;
    ServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
    // The manager reads the specific code only under this exit code.
    ServiceStatus.dwServiceSpecificExitCode =
        (dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) ? dwSpecificCode : 0;
    ServiceStatus.dwWaitHint = dwWaitHint;
    if (dwState == SERVICE_RUNNING || dwState == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint = CheckPoint++;
    return SendServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

BOOL ReportServiceStatus(DWORD dwState, DWORD dwWin32ExitCode, DWORD dwWaitHint)
{
    AcquireSRWLockExclusive(&StatusLock);
    BOOL fOk = ReportLocked(dwState, dwWin32ExitCode, 0, dwWaitHint);
    ReleaseSRWLockExclusive(&StatusLock);
    return fOk;
}

BOOL ReportServiceStopped(DWORD dwWin32ExitCode, DWORD dwSpecificCode)
{
    AcquireSRWLockExclusive(&StatusLock);
    BOOL fOk = ReportLocked(SERVICE_STOPPED, dwWin32ExitCode, dwSpecificCode, 0);
    ReleaseSRWLockExclusive(&StatusLock);
    return fOk;
}

BOOL ResendServiceStatus(void)
{
    AcquireSRWLockExclusive(&StatusLock);
    // Nothing after stopped: the manager may already have let go of us (an
    // interrogate can come while a failed start is stopping).
    BOOL fOk = TRUE;
    if (ServiceStatus.dwCurrentState != SERVICE_STOPPED)
        fOk = ReportLocked(ServiceStatus.dwCurrentState, ServiceStatus.dwWin32ExitCode,
                           ServiceStatus.dwServiceSpecificExitCode, ServiceStatus.dwWaitHint);
    ReleaseSRWLockExclusive(&StatusLock);
    return fOk;
}
