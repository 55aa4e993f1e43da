// Only disk files are counted. A client may name anything: a pipe of its own
// would have the service connect to it as a client (and so lend it our
// identity) and then block every other client while it stays silent; a device
// may never end.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <wchar.h>

#include "open.h"

// From this many characters on, a full path is opened in the long form. The
// plain calls stop at MAX_PATH, and 12 sooner for a directory (room for an 8.3
// name); the tighter line leaves no name near the limit to chance.
static const DWORD LONG_FORM_MIN_CHARS = MAX_PATH - 12;
// The full path of the longest request under a current directory of up to
// MAX_PATH, and the long form's prefix (8 characters); a longer name is
// refused, never cut.
static const DWORD OPEN_NAME_CHARS = (DWORD)OPEN_PATH_MAX_CHARS + MAX_PATH + 8;

static int IsLongOrDeviceForm(const wchar_t *wszName)
{
    return wcsncmp(wszName, L"\\\\?\\", 4) == 0 || wcsncmp(wszName, L"\\\\.\\", 4) == 0;
}

// Makes the client's text, in the ANSI code page, the name to open. A short
// name stays as it is, so the plain call normalises it as it always has. A
// longer one gets the long form, which the plain call needs past MAX_PATH;
// that form skips normalisation (trailing dots, ".."), so it is built from
// the full path. Returns zero for a name that cannot be made.
static int NameToOpen(const char *path, wchar_t *wszName, DWORD cchName)
{
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wszName, (int)cchName) == 0)
        return 0;
    if (IsLongOrDeviceForm(wszName))
        return 1;
    wchar_t wszFull[OPEN_NAME_CHARS];
    DWORD cchFull = GetFullPathNameW(wszName, OPEN_NAME_CHARS, wszFull, NULL);
    if (cchFull < LONG_FORM_MIN_CHARS)
        return 1;
    if (cchFull >= OPEN_NAME_CHARS)
        return 0;
    if (IsLongOrDeviceForm(wszFull))
        return 1;
    int fUnc = wcsncmp(wszFull, L"\\\\", 2) == 0;
    int cch = swprintf(wszName, cchName, L"%ls%ls", fUnc ? L"\\\\?\\UNC\\" : L"\\\\?\\",
                       fUnc ? wszFull + 2 : wszFull);
    return cch > 0 && (DWORD)cch < cchName;
}

FILE *OpenCountFile(const char *path)
{
    wchar_t wszName[OPEN_NAME_CHARS];
    if (!NameToOpen(path, wszName, OPEN_NAME_CHARS))
        return NULL;
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
    HANDLE hFile = CreateFileW(wszName, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                               NULL);
    if (fRedirectionOff)
        Wow64RevertWow64FsRedirection(pvRedirection);
    if (hFile == INVALID_HANDLE_VALUE)
        return NULL;
    if (GetFileType(hFile) != FILE_TYPE_DISK) {
        CloseHandle(hFile);
        return NULL;
    }
    int fd = _open_osfhandle((intptr_t)hFile, _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(hFile);
        return NULL;
    }
    // From here the runtime owns the handle and closes it with the stream.
    FILE *fp = _fdopen(fd, "rb");
    if (fp == NULL)
        _close(fd);
    return fp;
}
