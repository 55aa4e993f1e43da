#include "request.h"

#include <stdio.h>
#include <string.h>

#include "../count/file.h"
#include "../open/names.h"

// A request without a NUL fills the whole buffer.
static_assert(PIPE_BUFFER_SIZE <= OPEN_PATH_MAX_BYTES, "every request must fit the opener");

char *MaskControlBytes(char *szOut, size_t cbOut, const char *text)
{
    size_t i = 0;
    for (; i + 1 < cbOut && text[i] != '\0'; ++i)
        szOut[i] = ((unsigned char)text[i] < 0x20) ? LOG_CONTROL_MARK : text[i];
    if (cbOut > 0)
        szOut[i] = '\0';
    return szOut;
}

void FormatReply(char *reply, size_t cbReply, const char *path, int counted,
                 unsigned long long count)
{
    if (counted)
        snprintf(reply, cbReply, REPLY_COUNTED_FORMAT, path, (long long)count);
    else
        snprintf(reply, cbReply, REPLY_CANT_OPEN_FORMAT, path);
}

RequestResult HandleRequest(const char *request, char *reply, size_t cbReply)
{
    if (strcmp(request, EXIT_COMMAND) == 0)
        return RequestExit;
    unsigned long long count = 0;
    int counted = CountSpaces(request, &count);
    FormatReply(reply, cbReply, request, counted, count);
    return RequestReply;
}
