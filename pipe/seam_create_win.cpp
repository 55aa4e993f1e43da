// A seam: the real call. A test that links a model of its own defines
// CreatePipeEnd in an object file, so this member of the library is then
// never linked in.
#include "seams_win.h"

HANDLE CreatePipeEnd(LPCSTR szName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                     DWORD cbOutBuffer, DWORD cbInBuffer, DWORD dwDefaultTimeoutMs,
                     LPSECURITY_ATTRIBUTES psa)
{
    return CreateNamedPipeA(szName, dwOpenMode, dwPipeMode, nMaxInstances, cbOutBuffer,
                            cbInBuffer, dwDefaultTimeoutMs, psa);
}
