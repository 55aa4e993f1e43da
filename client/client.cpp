// quorvel-client: asks the service how many spaces files hold.
//
//   quorvel-client [--server NAME] [--wait MS] [--] [PATH...]
//   quorvel-client [--server NAME] [--wait MS] --ping
//   quorvel-client --version | --help
//
// Each PATH is sent as one request and its reply printed on a line of its own;
// with no PATH, paths are read from standard input, one per line. The service
// serves one client at a time, so the client holds it only while it asks: it
// connects once it has a path, and lets go whenever no further line is waiting
// on a console or a pipe. --ping asks nothing: it connects and says exit,
// for a monitor that wants to know the service answers.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../pipe/protocol.h"
#include "version.h"

enum {
    ExitOk = 0,
    ExitFailed = 1,     // a failure with no code of its own
    ExitUsage = 2,
    ExitNotRunning = 3, // no such pipe: the service is not running
    ExitBusy = 4,       // another client held the service too long
    ExitLost = 5,       // the connection broke or the answer made no sense
    ExitCannotCarry = 6 // a path the protocol cannot carry (too long, or not in its code page)
};

// How long (ms) a busy service is waited for unless --wait says otherwise.
static const DWORD DEFAULT_BUSY_WAIT_MS = 10000;

static const char PROGRAM[] = "quorvel-client";
static const size_t REPLY_BUFFER_SIZE = MESSAGE_SIZE + 1;

static void PrintUsage(FILE *fp)
{
    fprintf(fp,
            "Usage: %s [--server NAME] [--wait MS] [--] [PATH...]\n"
            "       %s [--server NAME] [--wait MS] --ping\n"
            "       %s --version | --help\n"
            "Asks the Quorvel service how many space characters each file holds.\n"
            "PATH names a file on the service's machine. With no PATH, paths are\n"
            "read from standard input, one per line; after --, every argument is a PATH.\n"
            "  --server NAME  the service's machine (default: this one)\n"
            "  --wait MS      how long to wait for a busy service (default %lu)\n"
            "  --ping         only connect and say exit: whether the service answers\n"
            "Exit codes: 0 all answered, 2 usage, 3 service not running,\n"
            "4 service busy too long, 5 connection lost, 6 a path the protocol cannot\n"
            "carry (too long, or not in the ANSI code page), 1 other.\n",
            PROGRAM, PROGRAM, PROGRAM, (unsigned long)DEFAULT_BUSY_WAIT_MS);
}

// Reads a --wait value: digits only, below INFINITE, which the platform takes
// as "wait forever" (strtoul alone would make "-1" or an overflow just that).
static int ParseWaitMs(const char *szArg, DWORD *pdwMs)
{
    if (szArg[0] == '\0')
        return 0;
    unsigned long long ms = 0;
    for (const char *pch = szArg; *pch != '\0'; ++pch) {
        if (*pch < '0' || *pch > '9')
            return 0;
        ms = ms * 10 + (unsigned)(*pch - '0');
        if (ms >= INFINITE)
            return 0;
    }
    *pdwMs = (DWORD)ms;
    return 1;
}

// Opens the pipe, waiting up to dwWaitMs while another client holds it.
static HANDLE ConnectToService(const char *szPipe, DWORD dwWaitMs, int *pExit)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        // Identification only: whatever server answers on the name (one that
        // took it, or the machine named by --server) may learn who we are but
        // never act as us. Wine ignores this on pipes, so no test shows it.
        HANDLE hPipe = CreateFileA(szPipe, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(hPipe, &dwMode, NULL, NULL)) {
                fprintf(stderr, "%s: cannot switch %s to message mode: error %lu\n",
                        PROGRAM, szPipe, (unsigned long)GetLastError());
                CloseHandle(hPipe);
                *pExit = ExitFailed;
                return INVALID_HANDLE_VALUE;
            }
            return hPipe;
        }
        DWORD dwError = GetLastError();
        DWORD dwElapsed = GetTickCount() - dwStart;
        // The service holds its pipe's name from start to stop, between
        // clients too: no such pipe means it is not running.
        if (dwError == ERROR_FILE_NOT_FOUND) {
            fprintf(stderr, "%s: the service is not running (no pipe %s)\n", PROGRAM, szPipe);
            *pExit = ExitNotRunning;
            return INVALID_HANDLE_VALUE;
        }
        if (dwError != ERROR_PIPE_BUSY) {
            fprintf(stderr, "%s: cannot open %s: error %lu\n", PROGRAM, szPipe,
                    (unsigned long)dwError);
            *pExit = (dwError == ERROR_BAD_NETPATH) ? ExitNotRunning : ExitFailed;
            return INVALID_HANDLE_VALUE;
        }
        if (dwElapsed >= dwWaitMs) {
            fprintf(stderr, "%s: the service stayed busy for %lu ms; try again later\n",
                    PROGRAM, (unsigned long)dwWaitMs);
            *pExit = ExitBusy;
            return INVALID_HANDLE_VALUE;
        }
        // Returns when an instance is free, on time-out, or at once when the
        // name is gone (the service stopped); the loop sorts these out.
        WaitNamedPipeA(szPipe, dwWaitMs - dwElapsed);
    }
}

// Sends one request and reads its one reply into reply (REPLY_BUFFER_SIZE
// bytes): a whole reply and a NUL of our own, should the service send none.
static int Exchange(HANDLE hPipe, const char *request, char *reply)
{
    DWORD cbWritten = 0;
    DWORD cbRequest = (DWORD)strlen(request) + 1;
    if (!WriteFile(hPipe, request, cbRequest, &cbWritten, NULL) || cbWritten != cbRequest) {
        fprintf(stderr, "%s: connection lost while sending: error %lu\n", PROGRAM,
                (unsigned long)GetLastError());
        return ExitLost;
    }
    DWORD cbRead = 0;
    if (!ReadFile(hPipe, reply, (DWORD)MESSAGE_SIZE, &cbRead, NULL)) {
        fprintf(stderr, "%s: connection lost while waiting for the reply: error %lu\n",
                PROGRAM, (unsigned long)GetLastError());
        return ExitLost;
    }
    BoundMessage(reply, cbRead);
    return ExitOk;
}

// The connection to the service, made when there is a path to send.
struct Session {
    const char *szPipe;
    DWORD dwWaitMs;
    HANDLE hPipe; // INVALID_HANDLE_VALUE while not connected
};

// Why a path cannot be sent.
enum Uncarried { PathTooLong, PathNotInCodePage };

// Says why the path that begins with szStart is not asked, and marks the
// run's exit code; the other paths are still asked.
static void RefusePath(Uncarried why, const char *szStart, int *pWorst)
{
    if (why == PathTooLong)
        fprintf(stderr, "%s: path too long (the limit is %lu bytes): %.40s...\n", PROGRAM,
                (unsigned long)MAX_REQUEST_LENGTH, szStart);
    else
        fprintf(stderr, "%s: a path the service cannot read in its code page: %.40s...\n",
                PROGRAM, szStart);
    *pWorst = ExitCannotCarry;
}

// Asks for one path and prints the reply. A bad path is reported and skipped.
static int AskPath(Session *pSession, const char *path, int *pWorst)
{
    if (strlen(path) > MAX_REQUEST_LENGTH) {
        RefusePath(PathTooLong, path, pWorst);
        return ExitOk;
    }
    if (strcmp(path, EXIT_COMMAND) == 0) {
        fprintf(stderr, "%s: a path of just \"%s\" would end the connection; write .\\%s\n",
                PROGRAM, EXIT_COMMAND, EXIT_COMMAND);
        *pWorst = ExitUsage;
        return ExitOk;
    }
    if (pSession->hPipe == INVALID_HANDLE_VALUE) {
        int res = ExitOk;
        pSession->hPipe = ConnectToService(pSession->szPipe, pSession->dwWaitMs, &res);
        if (pSession->hPipe == INVALID_HANDLE_VALUE)
            return res;
    }
    char reply[REPLY_BUFFER_SIZE];
    int res = Exchange(pSession->hPipe, path, reply);
    if (res == ExitOk)
        printf("%s\n", reply);
    fflush(stdout);
    return res;
}

// Ends the connection, if there is one, with "exit" and its echo.
static int LetGo(Session *pSession)
{
    if (pSession->hPipe == INVALID_HANDLE_VALUE)
        return ExitOk;
    char reply[REPLY_BUFFER_SIZE];
    int res = Exchange(pSession->hPipe, EXIT_COMMAND, reply);
    if (res == ExitOk && strcmp(reply, EXIT_COMMAND) != 0) {
        fprintf(stderr, "%s: the service did not echo \"%s\"\n", PROGRAM, EXIT_COMMAND);
        res = ExitLost;
    }
    CloseHandle(pSession->hPipe);
    pSession->hPipe = INVALID_HANDLE_VALUE;
    return res;
}

// Whether the next line of standard input is there to be read without
// waiting: a file's always is; a person at a console or a slow producer on a
// pipe may take their time.
static BOOL LineWaiting(HANDLE hIn, BOOL fConsole)
{
    if (fConsole) {
        INPUT_RECORD records[64];
        DWORD nRecords = 0;
        PeekConsoleInputW(hIn, records, 64, &nRecords);
        // A line is waiting once its Enter is; what is typed before it is not.
        for (DWORD i = 0; i < nRecords; ++i) {
            const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar == L'\r')
                return TRUE;
        }
        return FALSE;
    }
    if (GetFileType(hIn) == FILE_TYPE_PIPE) {
        // A whole line, or more than any line may be; not a line being written.
        char rgb[PIPE_BUFFER_SIZE + 2];
        DWORD cbPeeked = 0;
        return PeekNamedPipe(hIn, rgb, sizeof rgb, &cbPeeked, NULL, NULL) &&
               (memchr(rgb, '\n', cbPeeked) != NULL || cbPeeked == sizeof rgb);
    }
    return GetFileType(hIn) == FILE_TYPE_DISK;
}

// Wide text in the ANSI code page, the one the service reads, into sz (cb
// bytes). Returns zero when it does not fit, or holds a character that code
// page lacks: a look-alike put in its place could name another file. UTF-8
// lacks only half a surrogate pair, which would become U+FFFD; that code page
// takes no question of a default character, and is named for its flag.
static int WideToAnsi(const wchar_t *wsz, char *sz, size_t cb)
{
    BOOL fUtf8 = GetACP() == CP_UTF8, fReplaced = FALSE;
    SetLastError(NO_ERROR);
    return WideCharToMultiByte(fUtf8 ? CP_UTF8 : CP_ACP,
                               fUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wsz, -1, sz,
                               (int)cb, NULL, fUtf8 ? NULL : &fReplaced) > 0 &&
           !fReplaced;
}

// A console's text comes in its own code page.
static int ConsoleToAnsi(char *line, size_t cbLine)
{
    wchar_t wszLine[PIPE_BUFFER_SIZE + 2];
    return MultiByteToWideChar(GetConsoleCP(), 0, line, -1, wszLine, PIPE_BUFFER_SIZE + 2) > 0 &&
           WideToAnsi(wszLine, line, cbLine);
}

// Asks for a path of the command line, converted as console input is.
static int AskArgument(Session *pSession, const wchar_t *wszPath, int *pWorst)
{
    // Room for a path one byte too long, which AskPath refuses by its length.
    char path[PIPE_BUFFER_SIZE + 1] = "";
    if (!WideToAnsi(wszPath, path, sizeof path)) {
        Uncarried why = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? PathTooLong : PathNotInCodePage;
        // Its start as the message shows it, look-alikes and all.
        char szStart[64] = "";
        size_t cchStart = wcslen(wszPath) < 40 ? wcslen(wszPath) : 40;
        WideCharToMultiByte(CP_ACP, 0, wszPath, (int)cchStart, szStart, sizeof szStart - 1, NULL,
                            NULL);
        RefusePath(why, szStart, pWorst);
        return ExitOk;
    }
    return AskPath(pSession, path, pWorst);
}

// Reads paths from standard input, one per line, until its end.
static int AskStdinPaths(Session *pSession, int *pWorst)
{
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    BOOL fConsole = GetConsoleMode(hIn, &dwMode);
    // Unbuffered where input may keep us waiting, so that the runtime never
    // holds a line that the check for a waiting one cannot see.
    if (GetFileType(hIn) != FILE_TYPE_DISK)
        setvbuf(stdin, NULL, _IONBF, 0);
    char line[PIPE_BUFFER_SIZE + 2];
    while (fgets(line, sizeof line, stdin) != NULL) {
        size_t cch = strlen(line);
        int fWhole = (cch > 0 && line[cch - 1] == '\n') || feof(stdin);
        int res = ExitOk;
        if (!fWhole) {
            // Longer than any request can be: skip the rest of the line.
            int ch;
            while ((ch = getchar()) != EOF && ch != '\n')
                ;
            RefusePath(PathTooLong, line, pWorst);
        } else if (fConsole && !ConsoleToAnsi(line, sizeof line)) {
            RefusePath(PathNotInCodePage, line, pWorst);
        } else {
            cch = strlen(line);
            while (cch > 0 && (line[cch - 1] == '\n' || line[cch - 1] == '\r'))
                line[--cch] = '\0';
            if (cch > 0)
                res = AskPath(pSession, line, pWorst);
        }
        // After every line, refused or blank too: the one connection the
        // service serves is never held while we wait for more input.
        if (res == ExitOk && !LineWaiting(hIn, fConsole))
            res = LetGo(pSession);
        if (res != ExitOk)
            return res;
    }
    return ExitOk;
}

// Takes the options and then the paths of the command line, all of it from
// the wide command line as the system holds it: the runtime's ANSI argv is a
// best-fit conversion, and two parsers need not split the line alike.
static int Run(int argc, wchar_t **argv)
{
    char szPipe[MAX_PATH];
    snprintf(szPipe, sizeof szPipe, "%s", PIPE_NAME);
    DWORD dwWaitMs = DEFAULT_BUSY_WAIT_MS;
    int iFirstPath = argc;
    BOOL fPing = FALSE;

    for (int i = 1; i < argc; ++i) {
        int fTakesValue = wcscmp(argv[i], L"--server") == 0 || wcscmp(argv[i], L"--wait") == 0;
        if (fTakesValue && i + 1 >= argc) {
            fprintf(stderr, "%s: %ls needs a value\n", PROGRAM, argv[i]);
            PrintUsage(stderr);
            return ExitUsage;
        }
        if (wcscmp(argv[i], L"--help") == 0 || wcscmp(argv[i], L"-h") == 0) {
            PrintUsage(stdout);
            return ExitOk;
        } else if (wcscmp(argv[i], L"--version") == 0) {
            printf("%s %s\n", PROGRAM, QUORVEL_VERSION);
            return ExitOk;
        } else if (wcscmp(argv[i], L"--server") == 0) {
            char szServer[MAX_PATH];
            int cch = -1;
            if (WideToAnsi(argv[++i], szServer, sizeof szServer))
                cch = snprintf(szPipe, sizeof szPipe, "\\\\%s\\Pipe\\%s", szServer,
                               QUORVEL_PIPE_LEAF);
            if (cch < 0 || (size_t)cch >= sizeof szPipe) {
                fprintf(stderr, "%s: server name too long, or not in the ANSI code page\n", PROGRAM);
                return ExitUsage;
            }
        } else if (wcscmp(argv[i], L"--wait") == 0) {
            char szWait[32];
            if (!WideToAnsi(argv[++i], szWait, sizeof szWait) || !ParseWaitMs(szWait, &dwWaitMs)) {
                fprintf(stderr, "%s: --wait takes milliseconds from 0 to %lu, not \"%ls\"\n",
                        PROGRAM, (unsigned long)(INFINITE - 1), argv[i]);
                return ExitUsage;
            }
        } else if (wcscmp(argv[i], L"--ping") == 0) {
            fPing = TRUE;
        } else if (wcscmp(argv[i], L"--") == 0) {
            iFirstPath = i + 1;
            break;
        } else if (argv[i][0] == L'-' && argv[i][1] == L'-') {
            fprintf(stderr, "%s: unknown option %ls\n", PROGRAM, argv[i]);
            PrintUsage(stderr);
            return ExitUsage;
        } else {
            iFirstPath = i;
            break;
        }
    }

    Session session = {szPipe, dwWaitMs, INVALID_HANDLE_VALUE};
    if (fPing) {
        if (iFirstPath < argc) {
            fprintf(stderr, "%s: --ping takes no PATH\n", PROGRAM);
            return ExitUsage;
        }
        // Connected, and "exit" echoed: the service serves clients.
        int res = ExitOk;
        session.hPipe = ConnectToService(szPipe, dwWaitMs, &res);
        if (session.hPipe != INVALID_HANDLE_VALUE)
            res = LetGo(&session);
        if (res == ExitOk)
            printf("%s: the service answers on %s\n", PROGRAM, szPipe);
        fflush(stdout);
        return res;
    }
    int res = ExitOk, worst = ExitOk;
    if (iFirstPath >= argc)
        res = AskStdinPaths(&session, &worst);
    for (int i = iFirstPath; i < argc && res == ExitOk; ++i)
        res = AskArgument(&session, argv[i], &worst);
    if (res == ExitOk)
        res = LetGo(&session);
    else if (session.hPipe != INVALID_HANDLE_VALUE)
        CloseHandle(session.hPipe);
    fflush(stdout);
    return res != ExitOk ? res : worst;
}

int main(void)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL) {
        fprintf(stderr, "%s: cannot read the command line: error %lu\n", PROGRAM,
                (unsigned long)GetLastError());
        return ExitFailed;
    }
    int res = Run(argc, argv);
    LocalFree(argv);
    return res;
}
