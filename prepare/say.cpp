// Each outcome is said twice: on standard output, for whoever runs us, and in
// the Application event log, where an administrator looks when an install
// through the package failed (Windows Installer shows none of our output).
#include "prepare.h"

#include <stdarg.h>
#include <stdio.h>

#include "../identity/identity.h"
#include "seams_win.h"

void Say(WORD wType, DWORD dwEventId, const char *szFormat, ...)
{
    char szLine[PREPARE_LINE_SIZE];
    int cch = snprintf(szLine, sizeof szLine, "%s: ", PREPARE_PROGRAM);
    va_list args;
    va_start(args, szFormat);
    if (cch > 0 && (size_t)cch < sizeof szLine)
        vsnprintf(szLine + cch, sizeof szLine - (size_t)cch, szFormat, args);
    va_end(args);
    printf("%s\n", szLine);
    fflush(stdout);
    HANDLE hSource = OpenEventSource(SERVICE_NAME);
    if (hSource != NULL) {
        ReportEventLine(hSource, wType, dwEventId, szLine);
        DeregisterEventSource(hSource);
    }
}
