// Process entry: hands the service to the service control manager. There is
// no console mode and there are no options.
#include <windows.h>

#include "../log/log.h"
#include "service.h"

int main(void)
{
    SERVICE_TABLE_ENTRYA DispatcherTable[] = {
        {(LPSTR)SERVICE_NAME, ServiceMain},
        {NULL, NULL},
    };
    BeginServiceLog();

    if (!StartServiceCtrlDispatcherA(DispatcherTable)) {
        // 1063: not started by the service control manager. The code is the
        // exit code, so whoever started us can tell.
        DWORD dwError = GetLastError();
        LogCallError("StartServiceCtrlDispatcher", dwError);
        return (int)dwError;
    }
    // The process ends when we return: let the service thread finish first.
    FinishServiceProcess(EXIT_SERVICE_WAIT_MS);
    return 0;
}
