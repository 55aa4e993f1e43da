// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

BOOL ReportEventLine(HANDLE hSource, WORD wType, DWORD dwEventId, LPCSTR szLine)
{
    LPCSTR rgszStrings[] = {szLine};
    return ReportEventA(hSource, wType, 0, dwEventId, NULL, 1, 0, rgszStrings, NULL);
}
