// The real call. A test that orders the workers' reads defines ReadFileAt in
// an object file, so this member of the library is then never linked in.
#include "file_win.h"

BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead)
{
    // A read at 0 is a fresh handle's first, from where its position stands:
    // asked without an offset, it costs Wine no round trip to its server.
    if (ibAt == 0)
        return ReadFile(hFile, pv, cb, pcbRead, NULL);
    // On a synchronous handle the read waits, and starts at the offset given.
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)ibAt;
    ov.OffsetHigh = (DWORD)(ibAt >> 32);
    return ReadFile(hFile, pv, cb, pcbRead, &ov);
}
