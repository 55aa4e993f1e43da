// Request handling: what one request asks and the reply text it gets. Touches
// neither the pipe nor the log, so it is the same on every platform.
#pragma once

#include <stddef.h>

#include "protocol.h"

enum RequestResult {
    RequestExit,  // "exit": no reply text; the connection ends with an echo
    RequestReply  // a path: the reply text has been formatted
};

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
