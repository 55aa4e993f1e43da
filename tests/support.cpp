#include "support.h"

#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

#include "log/log.h"
#include "pipe/instance.h"
#include "pipe/protocol.h"
#include "pipe/server.h"
#include "service/service.h"

static const char TEST_ROOT[] = "C:\\quorvel-tests";

static void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE hFind = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            if (strcmp(fd.cFileName, ".") == 0 || strcmp(fd.cFileName, "..") == 0)
                continue;
            std::string path = dir + "\\" + fd.cFileName;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryA(dir.c_str());
}

std::string MakeTestDir(const char *szName)
{
    CreateDirectoryA(TEST_ROOT, NULL);
    std::string dir = std::string(TEST_ROOT) + "\\" + szName;
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

bool WriteWholeFile(const std::string &path, const std::string &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == NULL)
        return false;
    bool fOk = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return fclose(fp) == 0 && fOk;
}

std::string ReadWholeFile(const char *path)
{
    std::string bytes;
    FILE *fp = fopen(path, "rb");
    if (fp == NULL)
        return bytes;
    char block[4096];
    size_t cb;
    while ((cb = fread(block, 1, sizeof block, fp)) > 0)
        bytes.append(block, cb);
    fclose(fp);
    return bytes;
}

void DeleteLogFile(void)
{
    DeleteFileA(LOG_PATH);
}

std::string ReadLogFile(void)
{
    return ReadWholeFile(LOG_PATH);
}

std::vector<std::string> LogLines(bool *pfTorn)
{
    std::string text = ReadLogFile();
    if (pfTorn != NULL)
        *pfTorn = !text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0);
    std::vector<std::string> lines;
    size_t iStart = 0;
    for (;;) {
        size_t iEnd = text.find("\r\n", iStart);
        if (iEnd == std::string::npos)
            break;
        lines.push_back(text.substr(iStart, iEnd - iStart));
        iStart = iEnd + 2;
    }
    return lines;
}

std::vector<std::string> WithoutEarlyClient(const std::vector<std::string> &lines)
{
    std::vector<std::string> kept;
    for (const std::string &line : lines) {
        if (line != EARLY_CLIENT_LINE)
            kept.push_back(line);
    }
    return kept;
}

std::vector<std::string> WaitForLogLines(size_t nLines, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    std::vector<std::string> lines = WithoutEarlyClient(LogLines());
    while (lines.size() < nLines && GetTickCount() - dwStart < dwTimeoutMs) {
        Sleep(10);
        lines = WithoutEarlyClient(LogLines());
    }
    return lines;
}

// Tries fDone() until it holds or dwDeadline (a GetTickCount time) has
// passed; returns its last answer.
template <typename F> static bool WaitUntil(F fDone, DWORD dwDeadline)
{
    bool fOk;
    while (!(fOk = fDone()) && (LONG)(dwDeadline - GetTickCount()) > 0)
        Sleep(20);
    return fOk;
}

SERVICE_STATUS_PROCESS QueryServiceProcess(SC_HANDLE hService)
{
    SERVICE_STATUS_PROCESS ssp = {};
    DWORD cbNeeded = 0;
    QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, (LPBYTE)&ssp, sizeof ssp, &cbNeeded);
    return ssp;
}

bool RequestStop(SC_HANDLE hService)
{
    SERVICE_STATUS status;
    // Wine may see the process end before the answer to the stop arrives.
    return ControlService(hService, SERVICE_CONTROL_STOP, &status) ||
           GetLastError() == ERROR_BROKEN_PIPE;
}

// Waits until dwDeadline for every process of the service's program to end,
// after ending each at once with fTerminate; true when none is left. The
// manager reports process id 0 once the state is STOPPED, while the process
// may still be ending, so the processes are found by their program's name.
static bool WaitForServiceProcesses(DWORD dwDeadline, bool fTerminate)
{
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return false;
    bool fGone = true;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    for (BOOL fMore = Process32First(hSnapshot, &pe); fMore; fMore = Process32Next(hSnapshot, &pe)) {
        HANDLE hProcess = NULL;
        if (_stricmp(pe.szExeFile, "quorvel-service.exe") == 0)
            hProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pe.th32ProcessID);
        if (hProcess == NULL)
            continue;
        if (fTerminate)
            TerminateProcess(hProcess, 1);
        fGone &= WaitUntil([&] { return WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0; }, dwDeadline);
        CloseHandle(hProcess);
    }
    CloseHandle(hSnapshot);
    return fGone;
}

void StopServiceProcess(SC_HANDLE hService, DWORD dwDeadline)
{
    RequestStop(hService);
    WaitUntil([&] { return QueryServiceProcess(hService).dwCurrentState == SERVICE_STOPPED; },
              dwDeadline);
    // Its last line is written after the stopped report: it must land in
    // this case's log, not in the next one's.
    WaitForServiceProcesses(dwDeadline, false);
}

bool RemoveServiceRegistration(SC_HANDLE hManager, DWORD dwDeadline)
{
    SC_HANDLE hOld = OpenServiceA(hManager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (hOld != NULL) {
        StopServiceProcess(hOld, dwDeadline);
        DeleteService(hOld);
        CloseServiceHandle(hOld);
    }
    // Deleted only once its process and every handle to it are gone.
    return WaitUntil(
        [&] {
            SC_HANDLE hStill = OpenServiceA(hManager, SERVICE_NAME, SERVICE_QUERY_STATUS);
            if (hStill != NULL)
                CloseServiceHandle(hStill);
            return hStill == NULL && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        dwDeadline);
}

SC_HANDLE CreateServiceRegistration(SC_HANDLE hManager)
{
    std::string binary = "\"" + ExeDir() + "\\quorvel-service.exe\"";
    SC_HANDLE hService = NULL;
    WaitUntil(
        [&] {
            hService = CreateServiceA(hManager, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, binary.c_str(), NULL, NULL, NULL,
                                      NULL, NULL);
            return hService != NULL || GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE;
        },
        GetTickCount() + LEFTOVER_WAIT_MS);
    return hService;
}

std::string CleanMachine(void)
{
    DWORD dwDeadline = GetTickCount() + 2 * LEFTOVER_WAIT_MS;
    SC_HANDLE hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (hManager == NULL)
        return "the service manager did not open";
    // Asked to stop, the service gets the first half of the time: ended by
    // force, it would stay RUNNING for Wine's manager until deleted.
    RemoveServiceRegistration(hManager, dwDeadline - LEFTOVER_WAIT_MS);
    // A console start, or a service that did not stop as asked.
    bool fEnded = WaitForServiceProcesses(dwDeadline, true);
    bool fGone = RemoveServiceRegistration(hManager, dwDeadline);
    CloseServiceHandle(hManager);
    if (!fEnded || !fGone)
        return fEnded ? "the service is still registered" : "a process of the service is left";
    // The fault cases put a directory where the log goes.
    if (!RemoveDirectoryA(LOG_PATH) && !DeleteFileA(LOG_PATH) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return "the log file, or a directory in its place, could not be removed";
    // 2: no instance of the name exists, ours or anyone's.
    if (!WaitUntil([] { return !WaitNamedPipeA(PIPE_NAME, 1) && GetLastError() == ERROR_FILE_NOT_FOUND; },
                   dwDeadline))
        return "an instance still holds the pipe's name";
    return "";
}

static DWORD WINAPI LoopThread(LPVOID)
{
    ServePipeClients();
    return 0;
}

HANDLE StartLoopThread(bool fCreate)
{
    ResetPipeServer();
    size_t nLines = LogLines().size();
    if (fCreate)
        CreatePipeInstance();
    HANDLE hThread = CreateThread(NULL, 0, LoopThread, NULL, 0, NULL);
    // The loop logs its start just before it waits; a client that came sooner
    // would meet the instance before the wait, which tests provoke on purpose.
    WaitForLogLines(nLines + (fCreate ? 2 : 1));
    return hThread;
}

bool StopLoopThread(HANDLE hThread)
{
    bool fLetGo = StopPipeServer(LOOP_STOP_WAIT_MS) != 0;
    ClosePipeInstance();
    bool fEnded = WaitForSingleObject(hThread, LOOP_STOP_WAIT_MS) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    ResetPipeServer();
    return fLetGo && fEnded;
}

HANDLE OpenClient(DWORD *pdwError, DWORD dwWaitMs, bool fWaitForName)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        HANDLE hPipe = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                   OPEN_EXISTING, 0, NULL);
        DWORD dwError = GetLastError();
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(hPipe, &dwMode, NULL, NULL);
            return hPipe;
        }
        bool fPassing = dwError == ERROR_PIPE_BUSY || (fWaitForName && dwError == ERROR_FILE_NOT_FOUND);
        if (!fPassing || GetTickCount() - dwStart >= dwWaitMs) {
            if (pdwError != NULL)
                *pdwError = dwError;
            return INVALID_HANDLE_VALUE;
        }
        Sleep(5);
    }
}

bool SendBytes(HANDLE hPipe, const void *pb, DWORD cb)
{
    DWORD cbWritten = 0;
    return WriteFile(hPipe, pb, cb, &cbWritten, NULL) && cbWritten == cb;
}

bool SendText(HANDLE hPipe, const std::string &text)
{
    return SendBytes(hPipe, text.c_str(), (DWORD)text.size() + 1);
}

bool ReadMessage(HANDLE hPipe, std::string *pMessage)
{
    char buf[MESSAGE_SIZE * 2];
    DWORD cbRead = 0;
    if (!ReadFile(hPipe, buf, sizeof buf, &cbRead, NULL))
        return false;
    pMessage->assign(buf, cbRead);
    return true;
}

std::string Ask(HANDLE hPipe, const std::string &request)
{
    std::string reply;
    if (!SendText(hPipe, request) || !ReadMessage(hPipe, &reply))
        return "<no reply>";
    if (reply.empty() || reply.back() != '\0')
        return "<reply without NUL: " + reply + ">";
    reply.pop_back();
    return reply;
}

std::string ExeDir(void)
{
    char szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(NULL, szPath, sizeof szPath);
    std::string path(szPath, cch);
    return path.substr(0, path.find_last_of('\\'));
}

static DWORD WINAPI DrainThread(LPVOID pv)
{
    void **ppv = (void **)pv;
    HANDLE hRead = (HANDLE)ppv[0];
    std::string *pText = (std::string *)ppv[1];
    char block[1024];
    DWORD cb;
    while (ReadFile(hRead, block, sizeof block, &cb, NULL) && cb > 0)
        pText->append(block, cb);
    return 0;
}

int RunProgram(const std::string &commandLine, const std::string &input, std::string *pOut,
               std::string *pErr, DWORD dwTimeoutMs,
               const std::function<void(HANDLE hInput)> &whileRunning)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hInRead, hInWrite, hOutRead, hOutWrite, hErrRead, hErrWrite;
    CreatePipe(&hInRead, &hInWrite, &sa, 0);
    CreatePipe(&hOutRead, &hOutWrite, &sa, 0);
    CreatePipe(&hErrRead, &hErrWrite, &sa, 0);
    SetHandleInformation(hInWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(hOutRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(hErrRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInRead;
    si.hStdOutput = hOutWrite;
    si.hStdError = hErrWrite;
    PROCESS_INFORMATION pi;
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    BOOL fStarted = CreateProcessA(NULL, cmd.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    CloseHandle(hInRead);
    CloseHandle(hOutWrite);
    CloseHandle(hErrWrite);
    if (!fStarted) {
        CloseHandle(hInWrite);
        CloseHandle(hOutRead);
        CloseHandle(hErrRead);
        return -1;
    }
    void *outArgs[2] = {hOutRead, pOut};
    void *errArgs[2] = {hErrRead, pErr};
    HANDLE hDrains[2] = {CreateThread(NULL, 0, DrainThread, outArgs, 0, NULL),
                         CreateThread(NULL, 0, DrainThread, errArgs, 0, NULL)};
    DWORD cbWritten;
    if (!input.empty())
        WriteFile(hInWrite, input.data(), (DWORD)input.size(), &cbWritten, NULL);
    if (whileRunning)
        whileRunning(hInWrite);
    CloseHandle(hInWrite);

    DWORD dwExit = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &dwExit);
    else
        TerminateProcess(pi.hProcess, (UINT)-1);
    WaitForMultipleObjects(2, hDrains, TRUE, 5000);
    CloseHandle(hDrains[0]);
    CloseHandle(hDrains[1]);
    CloseHandle(hOutRead);
    CloseHandle(hErrRead);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (int)dwExit;
}

void LoopTest::SetUp()
{
    ASSERT_EQ("", CleanMachine());
    dir = MakeTestDir(szDirName);
    words = dir + "\\words.txt";
    ASSERT_TRUE(WriteWholeFile(words, "one two  three"));
}

void LoopTest::TearDown()
{
    if (hLoop != NULL) {
        EXPECT_TRUE(StopLoopThread(hLoop));
    }
}
