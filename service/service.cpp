#include "service.h"

#include <stdio.h>

#include "../log/log.h"
#include "../pipe/instance.h"
#include "../pipe/server.h"
#include "status.h"

// How long (ms) the entry waits, at most, for a stop that ran on another
// thread to return to its caller, and then gives that caller to write the
// manager its answer. Kept short, since an installer removing the program
// right after the answer finds it in use until the process has ended
// (docs/design.md).
static const DWORD STOP_RETURN_WAIT_MS = 10;
static const DWORD STOP_ANSWER_SEND_MS = 1;

// The exit codes that the stopped report carries: the reason a start failed,
// otherwise 0.
static DWORD StopExitCode = NO_ERROR;
static DWORD StopSpecificCode = 0;
static volatile LONG ServiceMainActive = 0;
// Raised before the stopped report: where the dispatcher returns on that
// report while the handler still runs on a thread of its own (as under
// Wine), the entry must not end the process before the last line is written.
static volatile LONG StopSequenceActive = 0;
static volatile DWORD StopThreadId = 0;
// Raised as the stop's handler returns to its caller, which then answers.
static volatile LONG StopHandlerReturned = 0;
// Raised, before the stopped report, when the stop's cancel did not end the
// loop's blocked call: the process must then end itself.
static volatile LONG LoopStillBlocked = 0;

static void StopService(void)
{
    InterlockedExchange(&StopSequenceActive, 1);
    StopThreadId = GetCurrentThreadId();
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, STOP_WAIT_HINT_MS);
    WriteLog("Quorvel Service stopping...");
    // The loop must be out of its blocking call before the instance is
    // closed: its handle number could otherwise be reused under it. On Windows
    // a close neither ends a synchronous call blocked on the handle nor gets
    // past it, so a loop the cancel did not reach would hold this handler
    // beyond the manager's time limit: the handle is then left to the
    // process's end, right after the stopped report. (Wine wakes a blocked
    // call on close, so only Windows shows that hang.)
    if (StopPipeServer(STOP_LOOP_WAIT_MS)) {
        ClosePipeInstance();
    } else {
        WriteLog("Connection loop still blocked: the pipe closes with the process");
        // The line log readers expect; the instance goes with the process.
        WriteLog(PIPE_CLOSED_LINE);
        InterlockedExchange(&LoopStillBlocked, 1);
    }
    // The stopped report is the last act: an installer goes on to replace or
    // delete our program as soon as it sees it, so the process must end now.
    WriteLog("Quorvel Service stopped!");
    ReportServiceStopped(StopExitCode, StopSpecificCode);
    InterlockedExchange(&StopSequenceActive, 0);
}

void WINAPI ServiceCtrlHandler(DWORD dwControl)
{
    DWORD dwState = ServiceStatus.dwCurrentState;
    // A second stop while stopping is answered like an interrogate.
    if (dwControl == SERVICE_CONTROL_STOP && dwState != SERVICE_STOP_PENDING &&
        dwState != SERVICE_STOPPED) {
        StopService();
        InterlockedExchange(&StopHandlerReturned, 1);
    } else {
        ResendServiceStatus();
    }
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv)
{
    (void)argc;
    (void)argv;
    InterlockedExchange(&ServiceMainActive, 1);

    ServiceStatusHandle = RegisterServiceCtrlHandlerA(SERVICE_NAME, ServiceCtrlHandler);
    if (ServiceStatusHandle == 0) {
        WriteLog("Error RegisterServiceCtrlHandler");
        InterlockedExchange(&ServiceMainActive, 0);
        return;
    }
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
    WriteLog("Quorvel Service starting...");

    int r = CreatePipeInstance();
    if (r < 0) {
        // Reported as the stopped state's exit code, so the manager shows why.
        DWORD dwError = GetLastError();
        StopExitCode = (dwError != NO_ERROR) ? dwError : ERROR_SERVICE_SPECIFIC_ERROR;
        StopSpecificCode = EXIT_PIPE_SETUP_FAILED;
        char buf[256];
        snprintf(buf, sizeof buf, "Error init Quorvel server %d", r);
        WriteLog(buf);
        ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    } else {
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
        WriteLog("Quorvel Service started!");
        ServePipeClients();
    }
    InterlockedExchange(&ServiceMainActive, 0);
}

void FinishServiceProcess(DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    // Polled finely: every moment the process outlives its stopped report is
    // a moment an installer may find our program still in use. A loop still
    // blocked keeps ServiceMain from ever returning: only the stop is waited
    // for then.
    while (((ServiceMainActive && !LoopStillBlocked) || StopSequenceActive) &&
           GetTickCount() - dwStart < dwTimeoutMs)
        Sleep(1);
    // A stop run on another thread has yet to return to its caller, which
    // owes the manager an answer; ending the process before would lose it.
    // Then the process ends at once, not through the runtime's exit, whose
    // unloading outlasts the moment an installer, told of the stop, goes on
    // to remove our program (under load Wine's msiexec found it still in use).
    // On Windows the handler runs on this thread and has answered already.
    if (StopThreadId != 0 && StopThreadId != GetCurrentThreadId()) {
        for (DWORD dwWaited = GetTickCount();
             !StopHandlerReturned && GetTickCount() - dwWaited < STOP_RETURN_WAIT_MS;)
            Sleep(0);
        Sleep(STOP_ANSWER_SEND_MS);
        TerminateProcess(GetCurrentProcess(), LoopStillBlocked ? StopExitCode : 0);
    }
    // The runtime's exit takes each stream's lock to flush it, and so would
    // wait behind a read the blocked loop holds: the process, and the name its
    // instance keeps, would outlive the stop. Not from the handler, which
    // must first return its answer to the stop.
    if (LoopStillBlocked)
        TerminateProcess(GetCurrentProcess(), StopExitCode);
}
