// The judgement of an open handle: whether what it reached may be counted,
// and how far a second handle to it may be trusted.
#pragma once

#include <windows.h>

// Where a countable file lies: a local disk's or disc's file system reopens a
// handle as the very file it names; a redirector, or a file system nobody
// told us of, may open by name again.
enum FileSystemKind { FsLocal, FsOther };

// Returns nonzero, with *pKind set, when hFile reached a file below a device
// that may be counted; zero for a pipe, a device, a volume or anything the
// text rules would have refused. pvBuffer (cbBuffer bytes, pointer-aligned)
// holds what the open reached while it is judged.
int JudgeOpenedFile(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, FileSystemKind *pKind);
