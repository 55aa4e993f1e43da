// What the Windows tests (and the benchmark) share: real files on the
// prefix's C: drive and the real log file (files.cpp), the service manager
// and programs (machine.cpp), the connection loop on a thread and real client
// handles (clients.cpp). No test framework: the fixtures are in fixtures.h.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "pipe/protocol.h"

// Removes a file or a folder and all it holds, first clearing the access
// list and attributes that would refuse it. ERROR_SUCCESS, also when there
// was nothing, or the error of the removal that failed.
DWORD RemoveAll(const std::string &path);
// A folder of the test's own, made empty; paths inside it are returned whole.
std::string MakeTestDir(const char *szName);
bool WriteWholeFile(const std::string &path, const std::string &bytes);
// A file of the given bytes below dir, under folders of 60 characters, whose
// path has at least cchMin characters; made in the long form, as the plain
// calls stop at MAX_PATH. Its path, or "" when it cannot be made.
std::string MakeLongPathFile(const std::string &dir, size_t cchMin, const std::string &bytes);
std::string ReadWholeFile(const char *path);

// The log file: removed before a test, read back as its CR LF lines after.
void DeleteLogFile(void);
std::string ReadLogFile(void);
// The log's access list read back ("D:..."; Wine makes it from the mode), or "".
std::string LogDacl(void);
// *pfTorn, if given, tells whether the file ends inside a line.
std::vector<std::string> LogLines(bool *pfTorn = NULL);
// A client opened the new instance before the server waited on it: allowed
// in front of any connection's lines, since how early a client comes is the
// scheduler's choice, not the test's.
static const char EARLY_CLIENT_LINE[] = "ConnectNamedPipe: ERROR_PIPE_CONNECTED";
std::vector<std::string> WithoutEarlyClient(const std::vector<std::string> &lines);
// Waits (bounded) until the log has at least nLines lines besides early
// clients' lines; returns those.
std::vector<std::string> WaitForLogLines(size_t nLines, DWORD dwTimeoutMs = 5000);

// How long (ms) the clean-up waits for each thing an earlier case left.
static const DWORD LEFTOVER_WAIT_MS = 20000;
// The service's state and process, as the manager reports them.
SERVICE_STATUS_PROCESS QueryServiceProcess(SC_HANDLE hService);
// Asks the service to stop; true when the manager took the request.
bool RequestStop(SC_HANDLE hService);
// Stops and deletes any registration of the service, and waits until the
// manager has really let go of it; true when it has by dwDeadline.
bool RemoveServiceRegistration(SC_HANDLE hManager,
                               DWORD dwDeadline = GetTickCount() + LEFTOVER_WAIT_MS);
// Registers the service fresh (demand start), waiting out a registration that
// is still marked for delete (1072). NULL with the error on failure.
SC_HANDLE CreateServiceRegistration(SC_HANDLE hManager);
// Leaves the machine as a case expects it, whatever an earlier case (killed
// at its time-out, say) left: no registration nor process of the service, no
// log nor a directory in its place (the fault file system's small disk let go
// of, its held reads freed, any list or attribute a case gave it cleared
// first), and the pipe's name free. Every case that uses the machine calls it
// first and fails with what it returns: what it could not clean, or "". Its
// steps share one deadline, twice LEFTOVER_WAIT_MS away, inside a case's time-out.
std::string CleanMachine(void);

// How long (ms) a test lets the loop take to stop before calling it hung.
static const DWORD LOOP_STOP_WAIT_MS = 5000;

// The connection loop on a thread of the test process, on a fresh instance
// (fCreate) or on whatever PipeHandle holds.
HANDLE StartLoopThread(bool fCreate = true);
// Stops the loop the way the service does and closes the instance; returns
// whether the loop let go in time.
bool StopLoopThread(HANDLE hThread);

// Opens szPipe as a client in message read mode, waiting up to dwWaitMs
// while it is busy, and, with fWaitForName, while it does not exist; without
// it, a missing name fails at once, as the name must never lapse while the
// loop serves. INVALID_HANDLE_VALUE with *pdwError set when it cannot.
// *pRetries, if given, gains each open that found the pipe busy or missing.
struct OpenRetries {
    long nBusy, nNotFound;
};
HANDLE OpenClient(DWORD *pdwError = NULL, DWORD dwWaitMs = 5000, bool fWaitForName = false,
                  const char *szPipe = PIPE_NAME, OpenRetries *pRetries = NULL);
bool SendBytes(HANDLE hPipe, const void *pb, DWORD cb);
bool SendText(HANDLE hPipe, const std::string &text); // with its NUL
// Reads one message; the bytes as sent, NUL included.
bool ReadMessage(HANDLE hPipe, std::string *pMessage);
// Sends a request and returns the reply text (without its NUL).
std::string Ask(HANDLE hPipe, const std::string &request);
// Ends a connection politely: sends "exit", closes the handle and returns the
// echo as Ask does.
std::string SayExit(HANDLE hPipe);

// The directory of the running test exe, where the programs under test lie.
std::string ExeDir(void);
// Runs a program with the given command line (UTF-8) and standard input; collects
// its standard output and error. whileRunning, if given, is called once the
// input is written, with the input still open for more and the process.
// Returns the exit code, or -1.
int RunProgram(const std::string &commandLine, const std::string &input, std::string *pOut,
               std::string *pErr, DWORD dwTimeoutMs = 30000,
               const std::function<void(HANDLE hInput, HANDLE hProcess)> &whileRunning = nullptr);
// The same with a wide command line, which may hold what UTF-8 cannot.
int RunProgram(const std::wstring &commandLine, const std::string &input, std::string *pOut,
               std::string *pErr, DWORD dwTimeoutMs = 30000,
               const std::function<void(HANDLE hInput, HANDLE hProcess)> &whileRunning = nullptr);
