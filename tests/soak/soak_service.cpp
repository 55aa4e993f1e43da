// The service under the real service manager: registered, started, measured,
// stopped and removed as an administrator would.
#include "soak.h"

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include "service/service.h"
#include "fixtures.h"
#include "support.h"

// Where a service process's handle count comes from when the process query
// gives none (Wine answers 0, which no live process has): the system's
// handle table, one entry per open handle.
static const ULONG SYSTEM_HANDLE_INFORMATION_CLASS = 16;
static const LONG STATUS_INFO_LENGTH_MISMATCH_CODE = (LONG)0xC0000004;
static const ULONG HANDLE_TABLE_MAX_BYTES = 64 * 1024 * 1024;

struct HandleEntry {
    ULONG ulOwnerPid;
    BYTE bObjectType;
    BYTE bFlags;
    USHORT usHandle;
    PVOID pObject;
    ACCESS_MASK access;
};

struct HandleTable {
    ULONG nHandles;
    HandleEntry entries[1];
};

typedef LONG(WINAPI *QuerySystemInformationProc)(ULONG, PVOID, ULONG, PULONG);

static long CountHandlesInSystemTable(DWORD dwProcessId)
{
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    QuerySystemInformationProc pfnQuery =
        hNtdll == NULL ? NULL
                       : (QuerySystemInformationProc)(void *)GetProcAddress(
                             hNtdll, "NtQuerySystemInformation");
    if (pfnQuery == NULL)
        return -1;
    for (ULONG cb = 256 * 1024; cb <= HANDLE_TABLE_MAX_BYTES; cb *= 2) {
        std::vector<BYTE> buffer(cb);
        ULONG cbNeeded = 0;
        LONG status = pfnQuery(SYSTEM_HANDLE_INFORMATION_CLASS, buffer.data(), cb, &cbNeeded);
        if (status == STATUS_INFO_LENGTH_MISMATCH_CODE)
            continue;
        if (status != 0)
            return -1;
        const HandleTable *pTable = (const HandleTable *)buffer.data();
        long n = 0;
        for (ULONG i = 0; i < pTable->nHandles; ++i)
            n += (pTable->entries[i].ulOwnerPid == dwProcessId);
        return n;
    }
    return -1;
}

bool RegisterSoakService(ServiceHandles *pSvc)
{
    memset(pSvc, 0, sizeof *pSvc);
    pSvc->hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!Check(pSvc->hManager != NULL, "OpenSCManager: error %lu", (unsigned long)GetLastError()))
        return false;
    RemoveServiceRegistration(pSvc->hManager);
    pSvc->hService = CreateServiceRegistration(pSvc->hManager);
    return Check(pSvc->hService != NULL, "CreateService: error %lu",
                 (unsigned long)GetLastError());
}

SERVICE_STATUS_PROCESS QueryService(const ServiceHandles *pSvc)
{
    return QueryServiceProcess(pSvc->hService);
}

static SERVICE_STATUS_PROCESS WaitForServiceState(const ServiceHandles *pSvc, DWORD dwState)
{
    DWORD dwStart = GetTickCount();
    SERVICE_STATUS_PROCESS ssp = QueryService(pSvc);
    while (ssp.dwCurrentState != dwState && GetTickCount() - dwStart < SOAK_SETTLE_MS) {
        Sleep(10);
        ssp = QueryService(pSvc);
    }
    return ssp;
}

bool StartSoakService(ServiceHandles *pSvc)
{
    if (!Check(StartServiceA(pSvc->hService, 0, NULL) != FALSE, "StartService: error %lu",
               (unsigned long)GetLastError()))
        return false;
    SERVICE_STATUS_PROCESS ssp = WaitForServiceState(pSvc, SERVICE_RUNNING);
    if (!Check(ssp.dwCurrentState == SERVICE_RUNNING, "the service did not start (state %lu)",
               (unsigned long)ssp.dwCurrentState))
        return false;
    pSvc->dwProcessId = ssp.dwProcessId;
    pSvc->hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                                 FALSE, ssp.dwProcessId);
    Check(pSvc->hProcess != NULL, "OpenProcess %lu: error %lu", (unsigned long)ssp.dwProcessId,
          (unsigned long)GetLastError());
    Lines lines = WaitForLogLines(START_LINES.size(), SOAK_SETTLE_MS);
    return Check(lines == START_LINES, "the log after the start is not the start lines") &&
           pSvc->hProcess != NULL;
}

ProcessFigures MeasureProcess(const ServiceHandles *pSvc)
{
    ProcessFigures figures;
    memset(&figures, 0, sizeof figures);
    PROCESS_MEMORY_COUNTERS_EX pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(pSvc->hProcess, (PROCESS_MEMORY_COUNTERS *)&pmc, sizeof pmc))
        return figures;
    // Windows gives the commit charge twice; Wine fills only the older field.
    figures.cbPrivate = pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage;
    figures.cbWorkingSet = pmc.WorkingSetSize;
    DWORD nHandles = 0;
    if (GetProcessHandleCount(pSvc->hProcess, &nHandles) && nHandles != 0)
        figures.nHandles = (long)nHandles;
    else
        figures.nHandles = CountHandlesInSystemTable(pSvc->dwProcessId);
    figures.fOk = figures.cbPrivate != 0 && figures.cbWorkingSet != 0 && figures.nHandles > 0;
    return figures;
}

void StopAndRemoveSoakService(ServiceHandles *pSvc)
{
    DWORD dwStart = GetTickCount();
    Check(RequestStop(pSvc->hService), "ControlService(stop): error %lu",
          (unsigned long)GetLastError());
    SERVICE_STATUS_PROCESS ssp = WaitForServiceState(pSvc, SERVICE_STOPPED);
    DWORD dwStopMs = GetTickCount() - dwStart;
    Check(ssp.dwCurrentState == SERVICE_STOPPED, "the service did not stop (state %lu)",
          (unsigned long)ssp.dwCurrentState);
    Check(ssp.dwWin32ExitCode == NO_ERROR, "the service stopped with exit code %lu",
          (unsigned long)ssp.dwWin32ExitCode);
    if (pSvc->hProcess != NULL) {
        bool fEnded = WaitForSingleObject(pSvc->hProcess, SOAK_SETTLE_MS) == WAIT_OBJECT_0;
        DWORD dwExit = STILL_ACTIVE;
        GetExitCodeProcess(pSvc->hProcess, &dwExit);
        Check(fEnded && dwExit == 0, "the service process %s (exit code %lu)",
              fEnded ? "ended badly" : "did not end", (unsigned long)dwExit);
        CloseHandle(pSvc->hProcess);
        pSvc->hProcess = NULL;
    }
    printf("stop:        STOPPED after %lu ms, exit code %lu\n", (unsigned long)dwStopMs,
           (unsigned long)ssp.dwWin32ExitCode);
    Check(DeleteService(pSvc->hService) != FALSE, "DeleteService: error %lu",
          (unsigned long)GetLastError());
    CloseServiceHandle(pSvc->hService);
    // The next run's registration must not meet this one marked for delete.
    RemoveServiceRegistration(pSvc->hManager);
    CloseServiceHandle(pSvc->hManager);
    pSvc->hService = NULL;
    pSvc->hManager = NULL;
}
