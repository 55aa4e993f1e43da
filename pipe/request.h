// Request handling: what one request asks and the reply text it gets. Touches
// neither the pipe nor the log, so it is the same on every platform.
#pragma once

#include <stddef.h>

#include "protocol.h"

enum RequestResult {
    RequestExit,  // "exit": no reply text; the connection ends with an echo
    RequestReply  // a path: the reply text has been formatted
};

// Makes the bytes of one read a string of exactly those bytes: it ends at the
// first NUL within cbRead, or just after cbRead. szBuf holds at least
// cbRead + 1 bytes. Returns szBuf.
char *BoundRequest(char *szBuf, size_t cbRead);

// Copies text into szOut (cbOut bytes, cut to fit) with every byte below 0x20
// written as LOG_CONTROL_MARK, for the log: a client's CR or LF must not start
// a log line of its own. Windows file names hold neither those bytes nor the
// mark, so no path that names a file changes. Returns szOut.
static const char LOG_CONTROL_MARK = '?';
char *MaskControlBytes(char *szOut, size_t cbOut, const char *text);

// Classifies a request and, for a path, formats the reply into reply (cbReply
// bytes; MESSAGE_SIZE holds every reply whole).
RequestResult HandleRequest(const char *request, char *reply, size_t cbReply);

// Formats the reply for a path: the count when counted is nonzero, otherwise
// that the file cannot be opened.
void FormatReply(char *reply, size_t cbReply, const char *path, int counted,
                 unsigned long long count);

// Opens the file read-only and counts its space bytes as text mode sees
// them. Returns nonzero with *pCount set when the file was opened and read to
// its end; zero when it could not be opened or read.
int CountSpaces(const char *path, unsigned long long *pCount);
