// The activity log: one line per event appended to a fixed file, each line
// opened, written through to disk and closed, so nothing is held between calls.
#pragma once

#include <windows.h>

#include "../identity/identity.h"

static const char LOG_PATH[] = "C:\\log_QX.log";
// The longest line the log writes: the message, CR LF and the NUL. A longer
// message is cut, never overrun; callers check at compile time that theirs fit.
static const size_t LOG_LINE_SIZE = 1024;

// The line that precedes the first line written after lines were dropped (the
// log held past the retries, or its disk full): how many were not written
// whole. Logged once for each such spell.
static const char LOG_DROPPED_FORMAT[] =
    "Log: %lu lines before this one were lost or cut (the log could not be written)";

// Appends message and CR LF to the log. Returns the bytes written, or -1 when
// the file cannot be opened. Leaves the caller's GetLastError() as it was.
int WriteLog(const char *message);

// Logs "<call>: Error <code>\n", the one shape of every failed-call line.
void LogCallError(const char *szCall, DWORD dwError);

// The descriptor the writer makes the log with where none is there yet; kept
// for the life of the process. Until one is given, the writer makes it with
// the same protected list less the service's entry: never with the entries
// C:\ hands down, which let every user read.
void SetLogSecurity(PSECURITY_DESCRIPTOR pSd);
