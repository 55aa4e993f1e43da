// The text rules judge the name before Windows resolves it: a junction under
// a drive into an object directory (\RPC Control) holding a link, or a drive
// letter of the service's own logon session, can still lead a plain C:\ name
// to a pipe or a whole volume. The handle knows where the open landed.
#include "judge_win.h"

#include <winioctl.h>

#include "names.h"
#include "seams_win.h"

// The two NT calls that answer what a handle reached, cheaply and for a name
// of any length; documented, but declared only in the driver kit's headers,
// so found by name, with their structures as documented.
struct NtObjectName { // OBJECT_NAME_INFORMATION: a UNICODE_STRING
    USHORT cbLength;
    USHORT cbMaximum;
    wchar_t *pwch;
};
struct NtIoStatus { // IO_STATUS_BLOCK
    void *pvStatus;
    ULONG_PTR uInformation;
};
struct NtFileDevice { // FILE_FS_DEVICE_INFORMATION
    ULONG dwDeviceType;
    ULONG dwCharacteristics;
};
typedef LONG(WINAPI *NtQueryObjectCall)(HANDLE, int, void *, ULONG, ULONG *);
typedef LONG(WINAPI *NtQueryVolumeCall)(HANDLE, NtIoStatus *, void *, ULONG, int);
static const int NT_OBJECT_NAME_INFORMATION = 1;
static const int NT_FILE_FS_DEVICE_INFORMATION = 4;

void QueryHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach)
{
    // Found once: ntdll is in every process, and what it offers cannot change.
    static const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    static const NtQueryObjectCall pQueryObject = (NtQueryObjectCall)(void (*)(void))(
        hNtdll != NULL ? GetProcAddress(hNtdll, "NtQueryObject") : NULL);
    static const NtQueryVolumeCall pQueryVolume = (NtQueryVolumeCall)(void (*)(void))(
        hNtdll != NULL ? GetProcAddress(hNtdll, "NtQueryVolumeInformationFile") : NULL);
    pReach->wszName = NULL;
    pReach->fDeviceKnown = FALSE;
    pReach->dwDeviceType = pReach->dwCharacteristics = 0;

    // The name the object was opened by, on its device: never a normalized
    // name, which over SMB walks every folder of the path and fails where one
    // of them cannot be read. A status below 0 is a failure, a name too long
    // for the buffer among them.
    NtObjectName *pName = (NtObjectName *)pvBuffer;
    ULONG cbNeeded = 0;
    if (pQueryObject != NULL && cbBuffer > sizeof *pName + sizeof(wchar_t) &&
        pQueryObject(hFile, NT_OBJECT_NAME_INFORMATION, pvBuffer, cbBuffer - sizeof(wchar_t),
                     &cbNeeded) >= 0 &&
        (BYTE *)pName->pwch >= (BYTE *)(pName + 1)) {
        // The buffer keeps a character past what the call may fill, for the NUL.
        size_t cch = pName->cbLength / sizeof(wchar_t);
        if ((BYTE *)(pName->pwch + cch) < (BYTE *)pvBuffer + cbBuffer) {
            pName->pwch[cch] = L'\0';
            pReach->wszName = pName->pwch;
        }
    }
    NtIoStatus io = {NULL, 0};
    NtFileDevice device = {0, 0};
    if (pQueryVolume != NULL &&
        pQueryVolume(hFile, &io, &device, sizeof device, NT_FILE_FS_DEVICE_INFORMATION) >= 0) {
        pReach->fDeviceKnown = TRUE;
        pReach->dwDeviceType = device.dwDeviceType;
        pReach->dwCharacteristics = device.dwCharacteristics;
    }
}

// By the device the file system answers on, not by any name: a disk's or
// disc's own (NTFS, FAT, UDF, ...) is local; a redirector says it is remote
// (FILE_REMOTE_DEVICE), and it and every device untold or unknown get the
// safe rule.
int JudgeOpenedFile(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind)
{
    if (GetFileType(hFile) != FILE_TYPE_DISK)
        return 0;
    HandleReach reach;
    AskHandleReach(hFile, pvBuffer, cbBuffer, &reach);
    if (reach.wszName == NULL || !IsFileBelowDevice(reach.wszName))
        return 0;
    *pKind = FsOther;
    if (!reach.fDeviceKnown || (reach.dwCharacteristics & FILE_REMOTE_DEVICE))
        return 1;
    switch (reach.dwDeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        *pKind = FsLocal;
        break;
    default:
        break;
    }
    return 1;
}
