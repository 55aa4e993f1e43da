// Opening a named file for counting on Windows: the text rules, the open, and
// the judgement of what it reached.
#pragma once

#include <windows.h>

#include "judge_win.h"

// Bytes of the opener's own buffer: the answer to what an open reached, a
// name of up to the longest the system gives an object, after its header.
static const DWORD REACHED_BUFFER_BYTES = 64 * 1024 + 64;

// Opens path (ANSI code page) read-only for counting, or returns
// INVALID_HANDLE_VALUE when it cannot be opened or does not lead to a file on
// a drive or a share; sets *pKind for a file it returns. pvBuffer (cbBuffer
// bytes, at least REACHED_BUFFER_BYTES, pointer-aligned) holds what the open
// reached while it is judged.
HANDLE OpenCountFile(const char *path, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind);
