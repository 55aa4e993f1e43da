// Status reporting: the one way the service tells the service control manager
// what state it is in.
#pragma once

#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
// The check point of the next pending report; starts at 1, never reset.
extern DWORD CheckPoint;

// Fills ServiceStatus from the state (controls accepted and check point follow
// from it) and hands it to SetServiceStatus. Reports from both threads are
// serialised. Returns SetServiceStatus's result.
BOOL ReportServiceStatus(DWORD dwState, DWORD dwWin32ExitCode, DWORD dwWaitHint);

// Reports the stopped state; where dwWin32ExitCode is
// ERROR_SERVICE_SPECIFIC_ERROR, dwSpecificCode gives the reason.
BOOL ReportServiceStopped(DWORD dwWin32ExitCode, DWORD dwSpecificCode);

// Reports the current state again, exit codes and wait hint included (only
// the check point advances), reading it under the same lock so that a report
// racing start-up never sends a state that has just been left. Once stopped,
// sends nothing.
BOOL ResendServiceStatus(void);
