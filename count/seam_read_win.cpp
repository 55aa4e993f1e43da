// A seam: the real read. A test that orders the workers' reads defines
// ReadFileAt in an object file, so this member of the library is then never
// linked in.
#include "seams_win.h"

BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead)
{
    return ReadFileAtOffset(hFile, ibAt, pv, cb, pcbRead);
}
