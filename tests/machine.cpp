// What the whole machine holds: the service manager's registration of the
// service, the service's processes, and the programs a test runs.
#include "support.h"

#include <string.h>
#include <tlhelp32.h>

#include "log/log.h"
#include "service/service.h"

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
            hProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                   FALSE, pe.th32ProcessID);
        // The id may have gone to another process since the snapshot (Wine
        // hands a freed id out again at once, to a test starting beside this
        // one, say): only the service's own program is ended or waited for.
        char szImage[MAX_PATH];
        DWORD cchImage = sizeof szImage;
        if (hProcess != NULL &&
            (!QueryFullProcessImageNameA(hProcess, 0, szImage, &cchImage) ||
             _stricmp(strrchr(szImage, '\\') != NULL ? strrchr(szImage, '\\') + 1 : szImage,
                      "quorvel-service.exe") != 0)) {
            CloseHandle(hProcess);
            hProcess = NULL;
        }
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

// Stops the service and waits, until dwDeadline at most, for STOPPED and for
// no process of its program to be left, whatever the manager reports.
static void StopServiceProcess(SC_HANDLE hService, DWORD dwDeadline)
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
    // A fault case may have left the fault file system's small disk mounted
    // in the log's place, or a read held (tests/faultfs): where X: is not
    // that file system, nothing is there to open.
    for (const char *szControl : {"X:\\logdisk-off", "X:\\release"}) {
        HANDLE hControl = CreateFileA(szControl, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                      0, NULL);
        if (hControl != INVALID_HANDLE_VALUE)
            CloseHandle(hControl);
    }
    DWORD dwError = RemoveAll(LOG_PATH);
    // And what the preparation set aside beside it.
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((std::string(LOG_PATH) + ".set-aside-*").c_str(), &found);
    for (BOOL fMore = hFind != INVALID_HANDLE_VALUE; fMore && dwError == ERROR_SUCCESS;
         fMore = FindNextFileA(hFind, &found))
        dwError = RemoveAll(std::string("C:\\") + found.cFileName);
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    if (dwError != ERROR_SUCCESS)
        return "the log file, a directory in its place, or what was set aside beside it, could not be removed: error " +
               std::to_string(dwError) + ", attributes " + std::to_string(GetFileAttributesA(LOG_PATH));
    // 2: no instance of the name exists, ours or anyone's.
    if (!WaitUntil([] { return !WaitNamedPipeA(PIPE_NAME, 1) && GetLastError() == ERROR_FILE_NOT_FOUND; },
                   dwDeadline))
        return "an instance still holds the pipe's name";
    return "";
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
               const std::function<void(HANDLE hInput, HANDLE hProcess)> &whileRunning)
{
    std::vector<wchar_t> cmd(commandLine.size() + 1);
    MultiByteToWideChar(CP_UTF8, 0, commandLine.c_str(), -1, cmd.data(), (int)cmd.size());
    return RunProgram(std::wstring(cmd.data()), input, pOut, pErr, dwTimeoutMs, whileRunning);
}

int RunProgram(const std::wstring &commandLine, const std::string &input, std::string *pOut,
               std::string *pErr, DWORD dwTimeoutMs,
               const std::function<void(HANDLE hInput, HANDLE hProcess)> &whileRunning)
{
    // Its standard input, output and error; this side's ends are not inherited.
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hRead[3], hWrite[3];
    for (int i = 0; i < 3; ++i) {
        CreatePipe(&hRead[i], &hWrite[i], &sa, 0);
        SetHandleInformation(i == 0 ? hWrite[i] : hRead[i], HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hRead[0];
    si.hStdOutput = hWrite[1];
    si.hStdError = hWrite[2];
    PROCESS_INFORMATION pi;
    std::vector<wchar_t> cmd(commandLine.c_str(), commandLine.c_str() + commandLine.size() + 1);
    BOOL fStarted = CreateProcessW(NULL, cmd.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    for (HANDLE h : {hRead[0], hWrite[1], hWrite[2]})
        CloseHandle(h);
    if (!fStarted) {
        for (HANDLE h : {hWrite[0], hRead[1], hRead[2]})
            CloseHandle(h);
        return -1;
    }
    void *outArgs[2] = {hRead[1], pOut};
    void *errArgs[2] = {hRead[2], pErr};
    HANDLE hDrains[2] = {CreateThread(NULL, 0, DrainThread, outArgs, 0, NULL),
                         CreateThread(NULL, 0, DrainThread, errArgs, 0, NULL)};
    DWORD cbWritten;
    if (!input.empty())
        WriteFile(hWrite[0], input.data(), (DWORD)input.size(), &cbWritten, NULL);
    if (whileRunning)
        whileRunning(hWrite[0], pi.hProcess);
    CloseHandle(hWrite[0]);

    DWORD dwExit = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &dwExit);
    else
        TerminateProcess(pi.hProcess, (UINT)-1);
    WaitForMultipleObjects(2, hDrains, TRUE, 5000);
    for (HANDLE h : {hDrains[0], hDrains[1], hRead[1], hRead[2], pi.hProcess, pi.hThread})
        CloseHandle(h);
    return (int)dwExit;
}
