// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

HANDLE OpenEventSource(LPCSTR szSource)
{
    return RegisterEventSourceA(NULL, szSource);
}
