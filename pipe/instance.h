// The pipe instance: the one server end of the pipe that clients open. The
// service serves through one instance at a time; the next is created before
// the last is closed, so that the name never lapses. Each creation and close
// is logged.
#pragma once

#include <windows.h>

#include "protocol.h"

// Read and write for everyone, local, remote and anonymous alike, but neither
// creating instances nor changing the pipe's permissions or owner: a null DACL
// would let any user answer our clients or lock everyone out. The service's
// own account is added at run time with full access: a further instance of an
// existing pipe needs FILE_CREATE_PIPE_INSTANCE, which LocalService, say,
// would otherwise lack.
static const char PIPE_SDDL[] =
    "D:(A;;0x12019b;;;WD)(A;;0x12019b;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";
// The SDDL with the service's own entry appended; a string SID is at most
// 184 characters.
static const size_t PIPE_SDDL_SIZE = sizeof PIPE_SDDL + 192;

// The line logged whenever the service lets go of its instance.
static const char PIPE_CLOSED_LINE[] = "Named Pipe closed!";

extern const char *PipeName;
// The current instance; INVALID_HANDLE_VALUE when there is none.
extern HANDLE PipeHandle;

// Creates the instance when the service holds none, and logs
// "Waiting for connect...\n", or logs the failed call with its error code.
// Returns 0 or -1; after -1, GetLastError() gives the reason.
int CreatePipeInstance(void);

// Creates the next instance, then closes the current one and logs
// "Named Pipe closed!" and the creation's line, in that order. A failed
// creation leaves no instance: the next one is created as the first again.
void ReplacePipeInstance(void);

// Closes the instance, if any, and logs "Named Pipe closed!".
void ClosePipeInstance(void);
