// What counting a named file on Windows shares between the opener
// (open_win.cpp) and the reader (file_win.cpp), and the seams the tests'
// model of Windows replaces.
#pragma once

#include <windows.h>

// The characteristic of a redirector's device; only the driver kit's headers
// have it.
#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

// What the opener found the file lies on: a local disk's or disc's file
// system reopens a handle as the very file it names; a redirector, or a file
// system nobody told us of, may open by name again.
enum FileSystemKind { FsRefused, FsLocal, FsOther };

// Bytes of the opener's own buffer: the answer to what an open reached, a
// name of up to the longest the system gives an object, after its header.
static const DWORD REACHED_BUFFER_BYTES = 64 * 1024 + 64;

// Opens path read-only for counting, or returns INVALID_HANDLE_VALUE when it
// cannot be opened or does not lead to a file on a drive or a share; sets
// *pKind for a file it returns. pvBuffer (cbBuffer bytes, at least
// REACHED_BUFFER_BYTES, pointer-aligned) holds what the open reached while
// it is judged.
HANDLE OpenCountFile(const char *path, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind);

// CreateFileW, the one call every name the text rules pass is handed to:
// behind a seam (create_win.cpp), as under Wine no share or raw volume lets
// a test see which names reach it; the tests watch it there.
HANDLE CreateFileToCount(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                         LPSECURITY_ATTRIBUTES psa, DWORD dwDisposition, DWORD dwFlags,
                         HANDLE hTemplate);

// What an open handle reached: the name of the object it opened, as
// NtQueryObject gives it ("\Device\HarddiskVolume1\dir\file"; NULL when it
// cannot be had or does not fit), and its device's type and characteristics
// (FILE_DEVICE_*, FILE_REMOTE_DEVICE, ...; fDeviceKnown FALSE when untold).
struct HandleReach {
    const wchar_t *wszName;
    BOOL fDeviceKnown;
    DWORD dwDeviceType;
    DWORD dwCharacteristics;
};
// The real questions, asked in pvBuffer (cbBuffer bytes), where the name is kept.
void QueryHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach);
// What the opener calls: QueryHandleReach, behind a seam (reach_win.cpp), as
// under Wine no name the text rules pass reaches anything but a local disk
// file; the tests put a model in its place.
void AskHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach);

// ReadFile at an offset; a read at 0 only as a fresh handle's first. Behind a
// seam (read_at_win.cpp), as no file system chooses which of the two workers
// reads a block first: the tests hold one back there, so that the helper's
// part is certain.
BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead);
