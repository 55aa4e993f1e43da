#include "service_fixture.h"

#include <string.h>

#include "service/service.h"
#include "support.h"

const Lines START_LINES = {"Quorvel service entry point", "Quorvel Service starting...",
                           "Waiting for connect...\n", "Quorvel Service started!",
                           "Named pipe server\n"};
const Lines STOP_LINES = {"Quorvel Service stopping...", "Named Pipe closed!",
                          "Quorvel Service stopped!"};

Lines Tail(const Lines &lines, size_t n)
{
    return Lines(lines.end() - (n < lines.size() ? n : lines.size()), lines.end());
}

SERVICE_STATUS_PROCESS QueryServiceProcess(SC_HANDLE hService)
{
    SERVICE_STATUS_PROCESS ssp;
    memset(&ssp, 0, sizeof ssp);
    DWORD cbNeeded = 0;
    QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, (LPBYTE)&ssp, sizeof ssp, &cbNeeded);
    return ssp;
}

bool RequestStop(SC_HANDLE hService)
{
    SERVICE_STATUS status;
    if (ControlService(hService, SERVICE_CONTROL_STOP, &status))
        return true;
    // Wine may see the process end before the answer to the stop arrives.
    return GetLastError() == ERROR_BROKEN_PIPE;
}

Lines WithoutEarlyClient(const Lines &lines)
{
    Lines kept;
    for (const std::string &line : lines) {
        if (line != EARLY_CLIENT_LINE)
            kept.push_back(line);
    }
    return kept;
}

void StopServiceProcess(SC_HANDLE hService)
{
    SERVICE_STATUS_PROCESS ssp = QueryServiceProcess(hService);
    HANDLE hProcess = ssp.dwProcessId == 0 ? NULL
                                           : OpenProcess(SYNCHRONIZE, FALSE, ssp.dwProcessId);
    RequestStop(hService);
    DWORD dwStart = GetTickCount();
    while (QueryServiceProcess(hService).dwCurrentState != SERVICE_STOPPED &&
           GetTickCount() - dwStart < STATE_WAIT_MS)
        Sleep(20);
    // Its last line is written after the stopped report: it must land in
    // this test's log, not in the next one's.
    if (hProcess != NULL) {
        WaitForSingleObject(hProcess, STATE_WAIT_MS);
        CloseHandle(hProcess);
    }
}

void RemoveServiceRegistration(SC_HANDLE hManager)
{
    SC_HANDLE hOld = OpenServiceA(hManager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (hOld == NULL)
        return;
    StopServiceProcess(hOld);
    DeleteService(hOld);
    CloseServiceHandle(hOld);
}

void Service::SetUp()
{
    hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, hManager) << GetLastError();
    RemoveServiceRegistration(hManager);
    std::string binary = "\"" + ExeDir() + "\\quorvel-service.exe\"";
    hService = CreateServiceA(hManager, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, binary.c_str(), NULL, NULL, NULL, NULL, NULL);
    ASSERT_NE(nullptr, hService) << GetLastError();
    DeleteLogFile();
    dir = MakeTestDir("service");
}

void Service::TearDown()
{
    if (hService != NULL) {
        StopServiceProcess(hService);
        DeleteService(hService);
        CloseServiceHandle(hService);
    }
    if (hManager != NULL)
        CloseServiceHandle(hManager);
}

SERVICE_STATUS_PROCESS Service::Query()
{
    return QueryServiceProcess(hService);
}

SERVICE_STATUS_PROCESS Service::WaitForState(DWORD dwState)
{
    DWORD dwStart = GetTickCount();
    SERVICE_STATUS_PROCESS ssp = Query();
    while (ssp.dwCurrentState != dwState && GetTickCount() - dwStart < STATE_WAIT_MS) {
        Sleep(20);
        ssp = Query();
    }
    return ssp;
}

SERVICE_STATUS_PROCESS Service::StartRunning()
{
    EXPECT_TRUE(StartServiceA(hService, 0, NULL)) << GetLastError();
    SERVICE_STATUS_PROCESS ssp = WaitForState(SERVICE_RUNNING);
    WaitForLogLines(START_LINES.size());
    Sleep(LOOP_SETTLE_MS);
    return ssp;
}

std::string Service::Ask(const std::string &path)
{
    std::string out, err;
    RunProgram("\"" + ExeDir() + "\\quorvel-client.exe\" \"" + path + "\"", "", &out, &err);
    return out + err;
}
