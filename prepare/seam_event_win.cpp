// The real report. A test that reads what is reported defines
// ReportToEventLog in an object file, so this member of the library is then
// never linked in.
#include "prepare.h"

#include "../service/service.h"

BOOL ReportToEventLog(WORD wType, DWORD dwEventId, const char *szLine)
{
    HANDLE hSource = RegisterEventSourceA(NULL, SERVICE_NAME);
    if (hSource == NULL)
        return FALSE;
    const char *rgszStrings[] = {szLine};
    BOOL fReported = ReportEventA(hSource, wType, 0, dwEventId, NULL, 1, 0, rgszStrings, NULL);
    DeregisterEventSource(hSource);
    return fReported;
}
