// The service itself: its main routine, its control handler and the stop
// sequence that binds the pipe server to the service control manager.
#pragma once

#include <windows.h>

#include "../identity/identity.h"

// Wait hint (ms) of the start-pending report.
static const DWORD START_WAIT_HINT_MS = 30000;
// How long (ms) a stop waits for the connection loop to let go of the pipe.
static const DWORD STOP_LOOP_WAIT_MS = 5000;
// Wait hint (ms) of the stop-pending report: the wait above plus room for the
// close and the log lines that come before the stopped report.
static const DWORD STOP_WAIT_HINT_MS = STOP_LOOP_WAIT_MS + 1000;
// The service-specific exit code of a start whose pipe could not be set up
// when the system gave no error code for it.
static const DWORD EXIT_PIPE_SETUP_FAILED = 1;
// How long (ms) the entry waits, once the dispatcher has returned, for the
// service thread and the stop sequence to finish their last log lines.
static const DWORD EXIT_SERVICE_WAIT_MS = 5000;

// The process's first steps, before the dispatcher: gives the log the list
// it is made with, then writes the entry line.
void BeginServiceLog(void);

void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
void WINAPI ServiceCtrlHandler(DWORD dwControl);

// Waits, at most dwTimeoutMs, until no ServiceMain and no stop sequence is
// running. Where a stop left the connection loop blocked, ends the process
// itself then, with the stopped report's exit code.
void FinishServiceProcess(DWORD dwTimeoutMs);
