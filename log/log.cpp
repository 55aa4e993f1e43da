#include "log.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "seams_win.h"

// How often and how far apart (ms) a line is retried while another process
// holds the file: a short, bounded wait, never a hang.
static const int LOG_OPEN_TRIES = 5;
static const DWORD LOG_RETRY_PAUSE_MS = 10;

// The file is opened without write sharing, so two of our own threads would
// refuse each other's lines; one lock keeps them all.
static SRWLOCK LogLock = SRWLOCK_INIT;
// Under the lock: a write put down only part of its line (a full disk can
// take what fits), so the file ends inside a line. The next line then begins
// with a line end of its own: its reader sees a cut line, never two lines
// glued into one.
static int LogEndsInsideALine = 0;

// Under the lock: the lines not written whole since the last one that was,
// said before the next line that can be written.
static unsigned long LogLinesDropped = 0;

// Under the lock: what the writer makes the log with (SetLogSecurity), or
// the list it falls back on, made at its first need.
static PSECURITY_DESCRIPTOR LogSecurity = NULL;

void SetLogSecurity(PSECURITY_DESCRIPTOR pSd)
{
    AcquireSRWLockExclusive(&LogLock);
    LocalFree(LogSecurity);
    LogSecurity = pSd;
    ReleaseSRWLockExclusive(&LogLock);
}

static HANDLE OpenLogFile(void)
{
    if (LogSecurity == NULL)
        MakeLogSecurity(NULL, FALSE, &LogSecurity);
    SECURITY_ATTRIBUTES sa = {sizeof sa, LogSecurity, FALSE};
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (int iTry = 0; iTry < LOG_OPEN_TRIES; ++iTry) {
        if (iTry > 0)
            Sleep(LOG_RETRY_PAUSE_MS);
        // Read sharing lets a viewer follow the log; writers still exclude
        // each other, so lines never interleave. Append access alone makes
        // every write land at the end with no seek: a 32-bit seek to the end
        // fails once the log reaches 4 GiB and would leave the next line to
        // overwrite its start. (Wine appends even after such a seek, so no
        // test here can show that fault.) A link or junction in the log's
        // place is not followed: lines never land where it points. Made here
        // only with the log's own list; without one, only ever opened.
        hFile = CreateLogFile(LOG_PATH, LOG_WRITE_ACCESS, FILE_SHARE_READ, &sa,
                              LogSecurity != NULL ? OPEN_ALWAYS : OPEN_EXISTING,
                              FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
    }
    return hFile;
}

// Writes one line, lead by room for two bytes, through hFile: first a line
// end where the file ends inside a line. Whether all of it went down.
static BOOL WriteLine(HANDLE hFile, char *buf, size_t cb, DWORD *pcbLine)
{
    const char *pLine = buf + 2;
    size_t cbLine = cb - 2;
    if (LogEndsInsideALine) {
        buf[0] = '\r';
        buf[1] = '\n';
        pLine = buf;
        cbLine = cb;
    }
    DWORD cbWritten = 0;
    BOOL fWritten = WriteFile(hFile, pLine, (DWORD)cbLine, &cbWritten, NULL);
    // What even a failed write says it put down is in the file.
    BOOL fWhole = fWritten && cbWritten == cbLine;
    if (fWhole)
        LogEndsInsideALine = 0;
    else if (cbWritten > 0)
        LogEndsInsideALine = 1;
    *pcbLine = fWritten ? cbWritten : 0;
    return fWhole;
}

// The message and CR LF into buf (LOG_LINE_SIZE + 2), behind two bytes of
// room; cut where it would not fit. The bytes used, room included.
static size_t FormatLine(char *buf, const char *message)
{
    int cch = snprintf(buf + 2, LOG_LINE_SIZE - 2, "%s", message);
    size_t cb = (cch < 0) ? 0 : (size_t)cch;
    if (cb > LOG_LINE_SIZE - 3)
        cb = LOG_LINE_SIZE - 3;
    cb += 2;
    buf[cb++] = '\r';
    buf[cb++] = '\n';
    buf[cb] = '\0';
    return cb;
}

int WriteLog(const char *message)
{
    DWORD dwCallerError = GetLastError();
    // Room for the line end that may have to go first.
    char buf[LOG_LINE_SIZE + 2];
    size_t cb = FormatLine(buf, message);

    int res = -1;
    AcquireSRWLockExclusive(&LogLock);
    HANDLE hFile = OpenLogFile();
    BOOL fWhole = FALSE;
    if (hFile != INVALID_HANDLE_VALUE) {
        DWORD cbWritten = 0;
        BOOL fNoticed = TRUE;
        if (LogLinesDropped > 0) {
            // Room for the count's digits.
            char szNotice[sizeof LOG_DROPPED_FORMAT + 20], bufNotice[LOG_LINE_SIZE + 2];
            snprintf(szNotice, sizeof szNotice, LOG_DROPPED_FORMAT, LogLinesDropped);
            fNoticed = WriteLine(hFile, bufNotice, FormatLine(bufNotice, szNotice), &cbWritten);
            if (fNoticed)
                LogLinesDropped = 0;
        }
        // A line never stands where its notice could not: it is dropped too.
        cbWritten = 0;
        if (fNoticed)
            fWhole = WriteLine(hFile, buf, cb, &cbWritten);
        CloseHandle(hFile);
        res = (int)cbWritten;
    }
    if (!fWhole && LogLinesDropped < ULONG_MAX)
        ++LogLinesDropped;
    ReleaseSRWLockExclusive(&LogLock);
    SetLastError(dwCallerError);
    return res;
}

void LogCallError(const char *szCall, DWORD dwError)
{
    char buffer[128];
    snprintf(buffer, sizeof buffer, "%s: Error %ld\n", szCall, (long)dwError);
    WriteLog(buffer);
}
