// A seam: the real call, found by name (ntdll offers it to every process,
// but only the driver kit's headers declare it). A test that models what
// Windows resolves defines QueryObjectToCount in an object file, so this
// member of the library is then never linked in.
#include "seams_win.h"

typedef LONG(WINAPI *NtQueryObjectCall)(HANDLE, int, void *, ULONG, ULONG *);

LONG QueryObjectToCount(HANDLE hObject, int infoClass, void *pvInfo, ULONG cbInfo,
                        ULONG *pcbNeeded)
{
    // Found once: what ntdll offers cannot change while the process runs.
    static const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    static const NtQueryObjectCall pCall = (NtQueryObjectCall)(void (*)(void))(
        hNtdll != NULL ? GetProcAddress(hNtdll, "NtQueryObject") : NULL);
    if (pCall == NULL)
        return NT_STATUS_PROCEDURE_NOT_FOUND;
    return pCall(hObject, infoClass, pvInfo, cbInfo, pcbNeeded);
}
