// Only files on a drive or a share are counted. A client may name anything:
// a pipe of its own would have the service connect to it as a client (and so
// lend it our identity) and then block every other client while it stays
// silent; a device may never end.
#include "names.h"

#include <stdio.h>
#include <wctype.h>

// From this many characters on, a full path is opened in the long form. The
// plain calls stop at MAX_PATH, and 12 sooner for a directory (room for an 8.3
// name); the tighter line leaves no name near the limit to chance.
static const size_t LONG_FORM_MIN_CHARS = PLAIN_PATH_MAX_CHARS - 12;

static int HasPrefix(const wchar_t *wsz, const wchar_t *wszPrefix)
{
    return wcsncmp(wsz, wszPrefix, wcslen(wszPrefix)) == 0;
}

// Whether the cch characters at wsz are wszAscii, in any case. Only ASCII
// letters fold, as in the runtime's "C" locale.
static int EqualsAscii(const wchar_t *wsz, size_t cch, const wchar_t *wszAscii)
{
    for (size_t i = 0; i < cch; ++i) {
        wchar_t a = wsz[i], b = wszAscii[i];
        if (a >= L'A' && a <= L'Z')
            a = (wchar_t)(a - L'A' + L'a');
        if (b >= L'A' && b <= L'Z')
            b = (wchar_t)(b - L'A' + L'a');
        if (a != b || b == L'\0')
            return 0;
    }
    return 1;
}

// Whether the cch characters at wsz are, in any case, one of the nNames names.
static int IsOneOf(const wchar_t *wsz, size_t cch, const wchar_t *const *rgwszNames,
                   size_t nNames)
{
    for (size_t i = 0; i < nNames; ++i) {
        if (cch == wcslen(rgwszNames[i]) && EqualsAscii(wsz, cch, rgwszNames[i]))
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

// GetFullPathNameW has already turned forward slashes and device names (CON,
// NUL) into what they mean. Refused: a volume or disk (\\.\C:,
// \\.\PhysicalDrive0), a device, GLOBALROOT (shadow copies, which also bypass
// a file's locks), a volume's GUID name: a count of a whole disk would tie the
// service up and, under LocalSystem, read what no file lends. A native name
// (\??\...), which CreateFile would take as it is, was made whole as a path
// on the current drive and so names nothing. A long name gets the long form, which
// the plain call needs past MAX_PATH; the long form skips normalisation, so
// it is built from the whole name.
int NameToOpenFromFull(const wchar_t *wszFull, wchar_t *wszName, size_t cchName)
{
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
    return cch > 0 && (size_t)cch < cchName;
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

// A file below a device, as in "\Device\HarddiskVolume1\dir\file" or
// "\Device\Mup\host\share\file"; not a device or volume alone (GetFileType
// calls a volume a disk), nor a pipe or mailslot, nor what the text rules
// refuse by name: a shadow copy, which bypasses a file's locks, or a disk's
// own objects (its raw disk, "DR0", and its partitions). Refused by what it
// is, not admitted by a list of the devices that hold files: file systems
// come with names nobody lists.
int IsFileBelowDevice(const wchar_t *wszNtPath)
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
           !(cchDevice >= 24 && EqualsAscii(wszDevice, 24, L"HarddiskVolumeShadowCopy")) &&
           !(cchDevice >= 8 && EqualsAscii(wszDevice, 8, L"Harddisk") && iswdigit(wszDevice[8]));
}
