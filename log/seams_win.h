// The seam of the log writer: the one call whose answer a test's model of
// Windows gives, alone in a file of its own (seam_create_win.cpp) that the
// model replaces at link time. It takes the real call's arguments and holds
// nothing of ours; a model calls the platform in turn.
#pragma once

#include <windows.h>

// CreateFileA, for each try at the log: no platform lets a test let go of a
// log it holds just when a try has been refused.
HANDLE CreateLogFile(LPCSTR szName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate);
