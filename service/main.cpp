// Process entry: hands the service to the service control manager. There is
// no console mode and there are no options.
#include <windows.h>

#include "../log/log.h"
#include "service.h"

// Where the service makes its log (the first line may), it makes it with the
// log's own list, which names the service's SID: whatever account it runs as,
// no log it makes lets anyone else read it.
static void GiveLogItsList(void)
{
    PSID pServiceSid = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (OurServiceSid(&pServiceSid) && MakeLogSecurity(pServiceSid, FALSE, &pSd))
        SetLogSecurity(pSd);
    if (pServiceSid != NULL)
        FreeSid(pServiceSid);
}

int main(void)
{
    SERVICE_TABLE_ENTRYA DispatcherTable[] = {
        {(LPSTR)SERVICE_NAME, ServiceMain},
        {NULL, NULL},
    };
    GiveLogItsList();
    WriteLog("Quorvel service entry point");

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
