// A seam: the real call. A test that orders the workers' reads defines
// ReadFileToCount in an object file, so this member of the library is then
// never linked in.
#include "seams_win.h"

BOOL ReadFileToCount(HANDLE hFile, LPVOID pv, DWORD cb, LPDWORD pcbRead, LPOVERLAPPED pov)
{
    return ReadFile(hFile, pv, cb, pcbRead, pov);
}
