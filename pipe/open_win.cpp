// Only disk files are counted. A client may name anything: a pipe of its own
// would have the service connect to it as a client (and so lend it our
// identity) and then block every other client while it stays silent; a device
// may never end.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>

#include "open.h"

FILE *OpenCountFile(const char *path)
{
    // Under WOW64 a path under System32 would be sent to SysWOW64 and another
    // file counted. Off for this one open on this thread only; without WOW64
    // (32-bit Windows, a 64-bit build) the call fails and there is nothing
    // to turn back on.
    PVOID pvRedirection = NULL;
    BOOL fRedirectionOff = Wow64DisableWow64FsRedirection(&pvRedirection);
    // Identification only: should the name still reach a pipe server, it
    // cannot act as the service.
    HANDLE hFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
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
