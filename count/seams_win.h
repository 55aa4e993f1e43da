// The seam of counting an opened file: its read, alone in a file of its own
// (seam_read_win.cpp) that a test's model of Windows replaces at link time.
// It takes the real call's arguments and holds nothing of ours; a model
// calls the platform in turn.
#pragma once

#include <windows.h>

// ReadFile, every read of a file counted: no file system chooses which of the
// two workers reads a block first, so a model holds one back, that the
// helper's part be certain.
BOOL ReadFileToCount(HANDLE hFile, LPVOID pv, DWORD cb, LPDWORD pcbRead, LPOVERLAPPED pov);
