// The text rules judge the name before Windows resolves it: a junction under
// a drive into an object directory (\RPC Control) holding a link, or a drive
// letter of the service's own logon session, can still lead a plain C:\ name
// to a pipe or a whole volume. The handle knows where the open landed.
#include "judge_win.h"

#include <winioctl.h>

#include "names.h"
#include "seams_win.h"

// What an open handle reached: the name of the object it opened, as in
// "\Device\HarddiskVolume1\dir\file" (NULL when it cannot be had or does not
// fit), and its device's type and characteristics (FILE_DEVICE_*,
// FILE_REMOTE_DEVICE, ...; fDeviceKnown FALSE when untold).
struct HandleReach {
    const wchar_t *wszName;
    BOOL fDeviceKnown;
    DWORD dwDeviceType;
    DWORD dwCharacteristics;
};

// Asks the two NT calls that answer it cheaply and for a name of any length,
// in pvBuffer (cbBuffer bytes), where the name is kept.
static void QueryHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach)
{
    pReach->wszName = NULL;
    pReach->fDeviceKnown = FALSE;
    pReach->dwDeviceType = pReach->dwCharacteristics = 0;

    // The name the object was opened by, on its device: never a normalized
    // name, which over SMB walks every folder of the path and fails where one
    // of them cannot be read. A status below 0 is a failure, a name too long
    // for the buffer among them.
    NtObjectName *pName = (NtObjectName *)pvBuffer;
    ULONG cbNeeded = 0;
    if (cbBuffer > sizeof *pName + sizeof(wchar_t) &&
        QueryObjectToCount(hFile, NT_OBJECT_NAME_INFORMATION, pvBuffer,
                           cbBuffer - sizeof(wchar_t), &cbNeeded) >= 0 &&
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
    if (QueryVolumeToCount(hFile, &io, &device, sizeof device,
                           NT_FILE_FS_DEVICE_INFORMATION) >= 0) {
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
    QueryHandleReach(hFile, pvBuffer, cbBuffer, &reach);
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
