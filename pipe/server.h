// The connection loop: serves clients one at a time on the current pipe
// instance until a stop is requested.
#pragma once

#include <windows.h>

// Pause (ms) before the first retry of a wait that failed in a way retrying the
// same instance cannot clear, or of a creation of the next instance that
// failed; it doubles per failure up to the cap, so a lasting fault adds a
// bounded number of log lines per minute.
static const DWORD CONNECT_RETRY_FIRST_MS = 50;
static const DWORD CONNECT_RETRY_MAX_MS = 4000;
// The pause (ms) after one more failure, given the one before it (0: none).
DWORD NextRetryPauseMs(DWORD dwPauseMs);
// How often (ms) a stop repeats its cancel: a cancel that arrives before the
// blocking call has started is lost.
static const DWORD STOP_CANCEL_INTERVAL_MS = 10;

// Waits for clients and serves them. Returns only once StopPipeServer has been
// called, and then without touching the pipe instance again.
void ServePipeClients(void);

// Raises the stop request and cancels the loop's blocking call, again and again,
// until the loop has returned or dwTimeoutMs has passed. Returns nonzero when
// the loop has let go of the pipe instance (or never took it); the caller then
// closes the instance. Otherwise the loop may still be blocked on it and the
// caller must leave it alone. Called from a thread other than the loop's.
int StopPipeServer(DWORD dwTimeoutMs);

// Lets the loop run again after a stop (for a process that serves more than once).
void ResetPipeServer(void);
