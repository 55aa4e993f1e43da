// The opener: the client's text made a name by the text rules (names.cpp),
// opened, and the handle judged (judge_win.cpp).
#include "open_win.h"

#include "names.h"
#include "seams_win.h"

static_assert(PLAIN_PATH_MAX_CHARS == MAX_PATH, "the text rules' MAX_PATH is Windows' own");

// Makes the client's text, in the ANSI code page, the name to open. Every
// name is first made whole by GetFullPathNameW, which also turns forward
// slashes and device names (CON, NUL) into what they mean, and only what it
// made is judged by the text rules and opened. Returns zero for a name
// refused or that cannot be made.
static int NameToOpen(const char *path, wchar_t *wszName, DWORD cchName)
{
    wchar_t wszText[OPEN_NAME_CHARS];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wszText,
                            (int)OPEN_NAME_CHARS) == 0)
        return 0;
    wchar_t wszFull[OPEN_NAME_CHARS];
    DWORD cchFull = GetFullPathNameW(wszText, (DWORD)OPEN_NAME_CHARS, wszFull, NULL);
    if (cchFull == 0 || cchFull >= OPEN_NAME_CHARS)
        return 0;
    return NameToOpenFromFull(wszFull, wszName, cchName);
}

HANDLE OpenCountFile(const char *path, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind)
{
    wchar_t wszName[OPEN_NAME_CHARS];
    if (!NameToOpen(path, wszName, (DWORD)OPEN_NAME_CHARS))
        return INVALID_HANDLE_VALUE;
    // Under WOW64 a path under System32 would be sent to SysWOW64 and another
    // file counted. Off for this one open on this thread only; without WOW64
    // (32-bit Windows, a 64-bit build) the call fails and there is nothing
    // to turn back on.
    PVOID pvRedirection = NULL;
    BOOL fRedirectionOff = Wow64DisableWow64FsRedirection(&pvRedirection);
    // Identification only: should the name still reach a pipe server, it
    // cannot act as the service. Write and delete sharing: a count never
    // stops another program from writing, renaming or deleting the file, nor
    // is refused by one that holds it for that.
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
    if (!JudgeOpenedFile(hFile, pvBuffer, cbBuffer, pKind)) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}
