// Only files on a drive or a share are counted. A client may name anything:
// a pipe of its own would have the service connect to it as a client (and so
// lend it our identity) and then block every other client while it stays
// silent; a device may never end.
#include <windows.h>
#include <winioctl.h>

#include <wchar.h>
#include <wctype.h>

#include "open_limits.h"
#include "file_win.h"

// From this many characters on, a full path is opened in the long form. The
// plain calls stop at MAX_PATH, and 12 sooner for a directory (room for an 8.3
// name); the tighter line leaves no name near the limit to chance.
static const DWORD LONG_FORM_MIN_CHARS = MAX_PATH - 12;
// The full path of the longest request under a current directory of up to
// MAX_PATH, and the long form's prefix (8 characters); a longer name is
// refused, never cut.
static const DWORD OPEN_NAME_CHARS = (DWORD)OPEN_PATH_MAX_BYTES + MAX_PATH + 8;

static int HasPrefix(const wchar_t *wsz, const wchar_t *wszPrefix)
{
    return wcsncmp(wsz, wszPrefix, wcslen(wszPrefix)) == 0;
}

// Whether the cch characters at wsz are, in any case, one of the nNames names.
static int IsOneOf(const wchar_t *wsz, size_t cch, const wchar_t *const *rgwszNames,
                   size_t nNames)
{
    for (size_t i = 0; i < nNames; ++i) {
        if (cch == wcslen(rgwszNames[i]) && _wcsnicmp(wsz, rgwszNames[i], cch) == 0)
            return 1;
    }
    return 0;
}

// "X:\...": a path on a drive, from its root (or the root alone).
static int IsDrivePath(const wchar_t *wsz)
{
    return ((wsz[0] >= L'A' && wsz[0] <= L'Z') || (wsz[0] >= L'a' && wsz[0] <= L'z')) &&
           wsz[1] == L':' && wsz[2] == L'\\';
}

// "server\share...": a share, named by what follows the leading backslashes.
// Not a server's pipes or mailslots, which it offers as shares of these names
// to reach them over the network, this machine's too.
static int IsShare(const wchar_t *wsz)
{
    static const wchar_t *const rgwszNotShares[] = {L"pipe", L"mailslot", L"IPC$"};
    const wchar_t *pSep = wcschr(wsz, L'\\');
    if (pSep == NULL || pSep == wsz || pSep[1] == L'\0' || pSep[1] == L'\\')
        return 0;
    return !IsOneOf(pSep + 1, wcscspn(pSep + 1, L"\\"), rgwszNotShares,
                    sizeof rgwszNotShares / sizeof rgwszNotShares[0]);
}

// Makes the client's text, in the ANSI code page, the name to open: only a
// file on a drive or on a share. Every name is first made whole by
// GetFullPathNameW, which also turns forward slashes and device names (CON,
// NUL) into what they mean, and only what it made is opened. Refused: a
// volume or disk (\\.\C:, \\.\PhysicalDrive0), a device, GLOBALROOT (shadow
// copies, which also bypass a file's locks), a volume's GUID name: a count of
// a whole disk would tie the service up and, under LocalSystem, read what no
// file lends. A native \??\ name, which CreateFile would take as it is, is
// made whole as a path on the current drive and so names nothing. A long
// name gets the long form, which the plain call needs past MAX_PATH; the
// long form skips normalisation, so it is built from the whole name. Returns
// zero for a name refused or that cannot be made.
static int NameToOpen(const char *path, wchar_t *wszName, DWORD cchName)
{
    wchar_t wszText[OPEN_NAME_CHARS];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wszText, OPEN_NAME_CHARS) == 0)
        return 0;
    wchar_t wszFull[OPEN_NAME_CHARS];
    DWORD cchFull = GetFullPathNameW(wszText, OPEN_NAME_CHARS, wszFull, NULL);
    if (cchFull == 0 || cchFull >= OPEN_NAME_CHARS)
        return 0;
    const wchar_t *wszPath = wszFull;
    // What the long form puts in front of wszPath, and how much of it it drops.
    const wchar_t *wszLong = L"\\\\?\\";
    size_t cchDropped = 0;
    if (HasPrefix(wszFull, L"\\\\?\\")) {
        // The long form already: a drive or a share in it, taken as it is.
        const wchar_t *wszRest = wszFull + 4;
        if (!IsDrivePath(wszRest) && !(HasPrefix(wszRest, L"UNC\\") && IsShare(wszRest + 4)))
            return 0;
        wszLong = L"";
    } else if (HasPrefix(wszFull, L"\\\\.\\")) {
        // A drive through the device namespace, with a path after its root.
        wszPath = wszFull + 4;
        if (!IsDrivePath(wszPath) || wszPath[3] == L'\0')
            return 0;
    } else if (HasPrefix(wszFull, L"\\\\")) {
        if (!IsShare(wszFull + 2))
            return 0;
        wszLong = L"\\\\?\\UNC";
        cchDropped = 1;
    } else if (!IsDrivePath(wszFull)) {
        return 0;
    }
    int fLong = wcslen(wszPath) >= LONG_FORM_MIN_CHARS;
    int cch = swprintf(wszName, cchName, L"%ls%ls", fLong ? wszLong : L"",
                       fLong ? wszPath + cchDropped : wszPath);
    return cch > 0 && (DWORD)cch < cchName;
}

// The device part of an NT path ("\Device\X\..."): X and its length in
// *pcch, or NULL for a path not below \Device.
static const wchar_t *DeviceOf(const wchar_t *wszNtPath, size_t *pcch)
{
    if (!HasPrefix(wszNtPath, L"\\Device\\"))
        return NULL;
    *pcch = wcscspn(wszNtPath + 8, L"\\");
    return wszNtPath + 8;
}

// What the open reached, in the NT namespace: a file below a device, as in
// "\Device\HarddiskVolume1\dir\file" or "\Device\Mup\host\share\file"; not a
// device or volume alone (GetFileType calls a volume a disk), nor a pipe or
// mailslot, nor what the text rules refuse by name: a shadow copy, which
// bypasses a file's locks, or a disk's own objects (its raw disk, "DR0", and
// its partitions). Refused by what it is, not admitted by a list of the
// devices that hold files: file systems come with names nobody lists.
static int IsFileBelowDevice(const wchar_t *wszNtPath)
{
    // Wine names a file by its drive path ("\??\C:\dir\file"), a form
    // Windows never gives, where every object a file opens lies below
    // \Device: it is the drive path it says.
    if (HasPrefix(wszNtPath, L"\\??\\"))
        return IsDrivePath(wszNtPath + 4) && wszNtPath[7] != L'\0';
    static const wchar_t *const rgwszNotFiles[] = {L"NamedPipe", L"Mailslot"};
    size_t cchDevice = 0;
    const wchar_t *wszDevice = DeviceOf(wszNtPath, &cchDevice);
    if (wszDevice == NULL || cchDevice == 0 || wszDevice[cchDevice] == L'\0' ||
        wszDevice[cchDevice + 1] == L'\0')
        return 0;
    // "HarddiskVolumeShadowCopy1", and "Harddisk0", the directory of disk 0.
    return !IsOneOf(wszDevice, cchDevice, rgwszNotFiles,
                    sizeof rgwszNotFiles / sizeof rgwszNotFiles[0]) &&
           _wcsnicmp(wszDevice, L"HarddiskVolumeShadowCopy", 24) != 0 &&
           !(_wcsnicmp(wszDevice, L"Harddisk", 8) == 0 && iswdigit(wszDevice[8]));
}

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

// The one judgement of an open handle: refused, or what kind of file system
// its file lies on. By the device the file system answers on, not by any
// name: a disk's or disc's own (NTFS, FAT, UDF, ...) is local; a redirector
// says it is remote (FILE_REMOTE_DEVICE), and it and every device untold or
// unknown get the safe rule.
static FileSystemKind ClassifyHandle(HANDLE hFile, void *pvBuffer, DWORD cbBuffer)
{
    if (GetFileType(hFile) != FILE_TYPE_DISK)
        return FsRefused;
    HandleReach reach;
    AskHandleReach(hFile, pvBuffer, cbBuffer, &reach);
    if (reach.wszName == NULL || !IsFileBelowDevice(reach.wszName))
        return FsRefused;
    if (!reach.fDeviceKnown || (reach.dwCharacteristics & FILE_REMOTE_DEVICE))
        return FsOther;
    switch (reach.dwDeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return FsLocal;
    default:
        return FsOther;
    }
}

HANDLE OpenCountFile(const char *path, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind)
{
    wchar_t wszName[OPEN_NAME_CHARS];
    if (!NameToOpen(path, wszName, OPEN_NAME_CHARS))
        return INVALID_HANDLE_VALUE;
    // Under WOW64 a path under System32 would be sent to SysWOW64 and another
    // file counted. Off for this one open on this thread only; without WOW64
    // (32-bit Windows, a 64-bit build) the call fails and there is nothing
    // to turn back on.
    PVOID pvRedirection = NULL;
    BOOL fRedirectionOff = Wow64DisableWow64FsRedirection(&pvRedirection);
    // Identification only: should the name still reach a pipe server, it
    // cannot act as the service. Delete sharing: a count never stops another
    // program from renaming or deleting the file, nor is refused by one that
    // holds it for that.
    HANDLE hFile = CreateFileToCount(wszName, GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     NULL, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT |
                                         SECURITY_IDENTIFICATION,
                                     NULL);
    if (fRedirectionOff)
        Wow64RevertWow64FsRedirection(pvRedirection);
    if (hFile == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // The text rules judge the name before Windows resolves it: a junction
    // under a drive into an object directory (\RPC Control) holding a link, or
    // a drive letter of the service's own logon session, can still lead a
    // plain C:\ name to a pipe or a whole volume. The handle knows where the
    // open landed.
    *pKind = ClassifyHandle(hFile, pvBuffer, cbBuffer);
    if (*pKind == FsRefused) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}
