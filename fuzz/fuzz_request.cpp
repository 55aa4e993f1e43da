// Arbitrary pipe messages through the request path, read the way the
// connection loop reads them: into a buffer of PIPE_BUFFER_SIZE + 1 bytes that
// still holds an earlier, longer request, at most PIPE_BUFFER_SIZE bytes a
// read, the rest of a longer message served as a request of its own.
// Checks that a request is exactly its own bytes, that only "exit" ends the
// connection, that every reply is the whole text, NUL-terminated within
// MESSAGE_SIZE, and that the log's copy of a request marks its control bytes.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pipe/protocol.h"
#include "pipe/request.h"

// Linked with -Wl,--wrap=fopen: while a request is handled, opening a file for
// reading is recorded and fails, so random names never reach this machine's
// files (a FIFO would block, a device could be anything). Everything else,
// libFuzzer writing a crash input included, gets the real fopen.
extern "C" FILE *__real_fopen(const char *path, const char *mode);

static int fInRequest = 0;
static int cOpens = 0;
static char szOpened[PIPE_BUFFER_SIZE + 1];

extern "C" FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (!fInRequest || mode[0] != 'r')
        return __real_fopen(path, mode);
    ++cOpens;
    snprintf(szOpened, sizeof szOpened, "%s", path);
    errno = ENOENT;
    return NULL;
}

static void Require(int fOk, const char *szWhat)
{
    if (fOk)
        return;
    fprintf(stderr, "fuzz_request: %s\n", szWhat);
    abort();
}

// The fixed texts of the two replies, cut out of the formats themselves.
static char szCountedHead[64];
static char szCountedMid[64];
static char szCantHead[64];
static char szCantTail[64];

// Copies what lies between szFrom and the conversion szConv into szOut;
// returns what follows the conversion.
static const char *TextBefore(const char *szFrom, const char *szConv, char *szOut, size_t cbOut)
{
    const char *pConv = strstr(szFrom, szConv);
    Require(pConv != NULL, "a reply format lacks its conversion");
    size_t cch = (size_t)(pConv - szFrom);
    Require(cch < cbOut, "a reply format's fixed text is too long");
    memcpy(szOut, szFrom, cch);
    szOut[cch] = '\0';
    return pConv + strlen(szConv);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *pRest = TextBefore(REPLY_COUNTED_FORMAT, "%s", szCountedHead, sizeof szCountedHead);
    pRest = TextBefore(pRest, "%lld", szCountedMid, sizeof szCountedMid);
    Require(*pRest == '\0', "the counted reply ends with its count");
    pRest = TextBefore(REPLY_CANT_OPEN_FORMAT, "%s", szCantHead, sizeof szCantHead);
    snprintf(szCantTail, sizeof szCantTail, "%s", pRest);
    // MESSAGE_SIZE is worked out from these two; a reworded reply must move them.
    Require(strlen(szCountedHead) + strlen(szCountedMid) == REPLY_COUNTED_FIXED,
            "REPLY_COUNTED_FIXED is not the counted reply's fixed length");
    Require(strlen(szCantHead) + strlen(szCantTail) == REPLY_CANT_OPEN_FIXED,
            "REPLY_CANT_OPEN_FIXED is not the cannot-open reply's fixed length");
    return 0;
}

// Appends cch bytes at *pcch, keeping the length it would need even past cbOut.
static void Append(char *szOut, size_t cbOut, size_t *pcch, const char *pch, size_t cch)
{
    for (size_t i = 0; i < cch; ++i, ++*pcch) {
        if (*pcch + 1 < cbOut)
            szOut[*pcch] = pch[i];
    }
    szOut[*pcch + 1 < cbOut ? *pcch : cbOut - 1] = '\0';
}

// The count as the reply shows it: a signed 64-bit number, written here
// without printf.
static size_t SignedDecimal(unsigned long long count, char *szOut, size_t cbOut)
{
    int fNegative = (count >> 63) != 0;
    unsigned long long magnitude = fNegative ? 0 - count : count;
    char rgDigit[COUNT_DIGITS_MAX];
    size_t cDigits = 0;
    do {
        Require(cDigits < sizeof rgDigit, "a count has more digits than COUNT_DIGITS_MAX");
        rgDigit[cDigits++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t cch = 0;
    if (fNegative)
        Append(szOut, cbOut, &cch, "-", 1);
    while (cDigits > 0)
        Append(szOut, cbOut, &cch, &rgDigit[--cDigits], 1);
    Require(cch <= COUNT_DIGITS_MAX, "a count is wider than COUNT_DIGITS_MAX");
    return cch;
}

// Bytes past MESSAGE_SIZE that must stay as they were.
static const size_t REPLY_GUARD = 32;
static const unsigned char REPLY_FILL = 0xA5;

// The reply must be the whole expected text, or, only where the request is
// longer than a request may be, that text cut to fit with its NUL.
static void CheckReply(const char *reply, const char *request, int counted,
                       unsigned long long count)
{
    char szWant[2 * MESSAGE_SIZE];
    char szCount[COUNT_DIGITS_MAX + 1] = "";
    size_t cchRequest = strlen(request), cchWant = 0;
    if (counted)
        SignedDecimal(count, szCount, sizeof szCount);
    const char *rgszPart[] = {counted ? szCountedHead : szCantHead, request,
                              counted ? szCountedMid : szCantTail, szCount};
    for (const char *szPart : rgszPart)
        Append(szWant, sizeof szWant, &cchWant, szPart, strlen(szPart));
    Require(cchWant < sizeof szWant, "the expected reply did not fit its buffer");

    const void *pNul = memchr(reply, '\0', MESSAGE_SIZE);
    Require(pNul != NULL, "the reply has no NUL within MESSAGE_SIZE");
    for (size_t i = MESSAGE_SIZE; i < MESSAGE_SIZE + REPLY_GUARD; ++i)
        Require((unsigned char)reply[i] == REPLY_FILL, "the reply was written past MESSAGE_SIZE");

    // Every request the buffer can hold, a full one without a NUL included.
    if (cchRequest <= PIPE_BUFFER_SIZE)
        Require(cchWant < MESSAGE_SIZE, "a request from the buffer gets a cut reply");
    size_t cchShown = cchWant < MESSAGE_SIZE ? cchWant : MESSAGE_SIZE - 1;
    Require((size_t)((const char *)pNul - reply) == cchShown, "the reply has the wrong length");
    Require(memcmp(reply, szWant, cchShown) == 0, "the reply is not the expected text");
}

static unsigned long long HashBytes(const uint8_t *pb, size_t cb)
{
    unsigned long long hash = 14695981039346656037ull;
    for (size_t i = 0; i < cb; ++i)
        hash = (hash ^ pb[i]) * 1099511628211ull;
    return hash;
}

// One served read: pbRead[0..cbRead) has just been copied to the start of szBuf.
static void ServeRead(char *szBuf, const uint8_t *pbRead, size_t cbRead)
{
    char *request = BoundMessage(szBuf, cbRead);
    Require(request == szBuf, "BoundMessage does not return the buffer");
    const uint8_t *pbNul = (const uint8_t *)memchr(pbRead, '\0', cbRead);
    size_t cchRequest = pbNul != NULL ? (size_t)(pbNul - pbRead) : cbRead;
    Require(strnlen(request, PIPE_BUFFER_SIZE + 1) == cchRequest,
            "the request does not end where its own bytes end");
    Require(memcmp(request, pbRead, cchRequest) == 0, "the request is not the bytes read");

    int fExit = cchRequest == sizeof EXIT_COMMAND - 1 &&
                memcmp(pbRead, EXIT_COMMAND, cchRequest) == 0;

    char reply[MESSAGE_SIZE + REPLY_GUARD];
    memset(reply, REPLY_FILL, sizeof reply);
    cOpens = 0;
    fInRequest = 1;
    RequestResult result = HandleRequest(request, reply, MESSAGE_SIZE);
    fInRequest = 0;
    if (fExit) {
        Require(result == RequestExit, "\"exit\" does not end the connection");
        Require(cOpens == 0, "\"exit\" was opened as a file");
        for (size_t i = 0; i < sizeof reply; ++i)
            Require((unsigned char)reply[i] == REPLY_FILL, "\"exit\" wrote a reply");
        return;
    }
    Require(result == RequestReply, "a path ended the connection");

    // The log's copy: every byte in place, control bytes as the mark.
    char szShown[PIPE_BUFFER_SIZE + 1];
    MaskControlBytes(szShown, sizeof szShown, request);
    Require(strlen(szShown) == cchRequest, "the log's copy has the wrong length");
    for (size_t i = 0; i < cchRequest; ++i)
        Require(szShown[i] == ((unsigned char)request[i] < 0x20 ? LOG_CONTROL_MARK : request[i]),
                "the log's copy is not the request with its control bytes marked");
    if (cchRequest == 0) {
        Require(cOpens == 0, "an empty name was opened");
    } else {
        // Also proves the wrap holds: an open that bypassed it would show 0.
        Require(cOpens == 1, "a path was not opened exactly once");
        Require(strcmp(szOpened, request) == 0, "a different name was opened");
    }
    CheckReply(reply, request, 0, 0);

    // Counted replies: small, past 32 bits, the widest, and one from the input.
    const unsigned long long rgCount[] = {0, 7, 1ull << 32, 0x7FFFFFFFFFFFFFFFull,
                                          1ull << 63, HashBytes(pbRead, cbRead)};
    for (size_t i = 0; i < sizeof rgCount / sizeof rgCount[0]; ++i) {
        memset(reply, REPLY_FILL, sizeof reply);
        FormatReply(reply, MESSAGE_SIZE, request, 1, rgCount[i]);
        CheckReply(reply, request, 1, rgCount[i]);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pb, size_t cb)
{
    char szBuf[PIPE_BUFFER_SIZE + 1];
    // An earlier request filled the buffer: every byte after the new request
    // is stale, and none of them is a NUL that could hide a missing end.
    for (size_t i = 0; i < PIPE_BUFFER_SIZE; ++i)
        szBuf[i] = (char)('a' + i % 26);
    BoundMessage(szBuf, PIPE_BUFFER_SIZE);

    // The message is read PIPE_BUFFER_SIZE bytes at a time; a read that leaves
    // more of it (ERROR_MORE_DATA) is not served.
    size_t ib = 0, cbRead;
    do {
        cbRead = cb - ib < PIPE_BUFFER_SIZE ? cb - ib : PIPE_BUFFER_SIZE;
        memcpy(szBuf, pb + ib, cbRead);
        ib += cbRead;
    } while (ib < cb);
    ServeRead(szBuf, pb + ib - cbRead, cbRead);
    return 0;
}
