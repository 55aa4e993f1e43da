// The pipe instance: the one server end of the pipe that clients open. The
// service serves through one instance at a time; the next is created before
// the last is closed, so that the name never lapses. Each creation and close
// is logged.
#pragma once

#include <windows.h>

#include "protocol.h"

// The line logged whenever the service lets go of its instance.
static const char PIPE_CLOSED_LINE[] = "Named Pipe closed!";

// The current instance; INVALID_HANDLE_VALUE when there is none.
extern HANDLE PipeHandle;

// Creates the instance when the service holds none, as the first of its name,
// and logs "Waiting for connect...\n", or logs the failed call with its error
// code. Where the name lives on only because a client of an earlier run of
// ours still holds its end, joins it. Returns 0 or -1; after -1,
// GetLastError() gives the reason.
int CreatePipeInstance(void);

// Creates the next instance, then closes the current one and logs
// "Named Pipe closed!" and the creation's line, in that order, and returns 0.
// When the creation fails, logs it and returns -1, the current instance kept:
// the name never lapses.
int CreateNextPipeInstance(void);

// How long (ms) a client is given to read what it has yet to read (the echo
// of "exit") before its instance is disconnected anyway, which discards it:
// a client that never reads must not hold the service.
static const DWORD DISCONNECT_FLUSH_WAIT_MS = 1000;
// How often (ms) the flush's bound repeats its cancel once it is due: one that
// comes before the flush is under way is lost.
static const DWORD FLUSH_CANCEL_INTERVAL_MS = 10;

// Disconnects the current instance's client, readying it for the next one.
// Called on the loop's thread, whose flush it may cancel.
void DisconnectPipeClient(void);

// Closes the instance, if any, and logs "Named Pipe closed!".
void ClosePipeInstance(void);
