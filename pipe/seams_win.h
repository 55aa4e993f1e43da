// The seams of the pipe: the calls whose rules differ between Windows and
// Wine, each alone in a file of its own (seam_*_win.cpp) that a test's model
// of Windows replaces at link time. Each takes the real call's arguments and
// holds nothing of ours; a model calls the platform in turn.
#pragma once

#include <windows.h>

// CreateNamedPipeA. Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE and lets a name
// lapse with its last server end, where Windows keeps it while a client still
// holds its end.
HANDLE CreatePipeEnd(LPCSTR szName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                     DWORD cbOutBuffer, DWORD cbInBuffer, DWORD dwDefaultTimeoutMs,
                     LPSECURITY_ATTRIBUTES psa);

// FlushFileBuffers of a served instance, before its client is let go: no
// platform lets a test choose when the call begins, as against the cancel
// that bounds it.
BOOL FlushPipeEnd(HANDLE hPipe);

// GetTokenInformation. Wine gives no process a service SID, which Windows
// gives a service with a SID type of its own.
BOOL QueryProcessToken(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, LPVOID pvInfo,
                       DWORD cbInfo, DWORD *pcbNeeded);
