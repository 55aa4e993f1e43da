// A seam: the real call, found by name (ntdll offers it to every process,
// but only the driver kit's headers declare it). A test that models a
// file's device defines QueryVolumeToCount in an object file, so this member
// of the library is then never linked in.
#include "seams_win.h"

typedef LONG(WINAPI *NtQueryVolumeCall)(HANDLE, NtIoStatus *, void *, ULONG, int);

LONG QueryVolumeToCount(HANDLE hFile, NtIoStatus *pIo, void *pvInfo, ULONG cbInfo, int infoClass)
{
    // Found once: what ntdll offers cannot change while the process runs.
    static const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    static const NtQueryVolumeCall pCall = (NtQueryVolumeCall)(void (*)(void))(
        hNtdll != NULL ? GetProcAddress(hNtdll, "NtQueryVolumeInformationFile") : NULL);
    if (pCall == NULL)
        return NT_STATUS_PROCEDURE_NOT_FOUND;
    return pCall(hFile, pIo, pvInfo, cbInfo, infoClass);
}
