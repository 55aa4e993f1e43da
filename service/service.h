// The service itself: its main routine, its control handler and the stop
// sequence that binds the pipe server to the service control manager.
#pragma once

#include <windows.h>

static const char SERVICE_NAME[] = "Quorvel service";
// Wait hint (ms) of the start-pending report.
static const DWORD START_WAIT_HINT_MS = 30000;
// How long (ms) a stop waits for the connection loop to let go of the pipe.
static const DWORD STOP_LOOP_WAIT_MS = 5000;
// How long (ms) the entry waits, once the dispatcher has returned, for the
// service thread to finish its last log line.
static const DWORD EXIT_SERVICE_WAIT_MS = 5000;

void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
void WINAPI ServiceCtrlHandler(DWORD dwControl);

// Waits, at most dwTimeoutMs, until no ServiceMain is running.
void WaitForServiceMain(DWORD dwTimeoutMs);
