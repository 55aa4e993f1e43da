// Creating one server end of the pipe: the one call whose rules differ
// between Windows and Wine (Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE and
// lets a name lapse with its last server end, where Windows keeps it while a
// client still holds its end). Behind a seam, so that the tests can put a
// model of Windows' rules in its place; the arguments are CreateNamedPipeA's.
#pragma once

#include <windows.h>

HANDLE CreatePipeEnd(LPCSTR szName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                     DWORD cbOutBuffer, DWORD cbInBuffer, DWORD dwDefaultTimeoutMs,
                     LPSECURITY_ATTRIBUTES psa);
