// What counting a named file on Windows shares between the opener
// (open_win.cpp) and the reader (file_win.cpp).
#pragma once

#include <windows.h>

// Opens path read-only for counting, or returns INVALID_HANDLE_VALUE when it
// cannot be opened or does not lead to a file on a drive or a share; sets
// *pfOnVolume when the file lies on a disk volume. wszScratch (cchScratch
// characters, up to the longest NT path) holds the name that the open
// reached while it is judged.
HANDLE OpenCountFile(const char *path, wchar_t *wszScratch, DWORD cchScratch, int *pfOnVolume);

// The open handle's final path in the NT namespace ("\Device\...", as
// GetFinalPathNameByHandleW with VOLUME_NAME_NT gives it): its length, 0 on
// failure, or more than cchPath when it does not fit. Behind a seam
// (final_path_win.cpp): under Wine no name the text rules pass can reach
// anything but a disk file, so the tests put a model in its place.
DWORD FinalPathOfHandle(HANDLE hFile, wchar_t *wszPath, DWORD cchPath);

// ReadFile at an offset: behind a seam (read_at_win.cpp), as Wine offers no
// file whose read fails partway; the tests put a model in its place.
BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead);
