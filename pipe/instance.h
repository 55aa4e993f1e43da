// The pipe instance: the one server end of the pipe that clients open. The
// service holds at most one at a time; each creation and close is logged.
#pragma once

#include <windows.h>

#include "protocol.h"

// Read and write for everyone, local, remote and anonymous alike, but neither
// creating instances nor changing the pipe's permissions or owner: a null DACL
// would let any user answer our clients or lock everyone out.
static const char PIPE_SDDL[] =
    "D:(A;;0x12019b;;;WD)(A;;0x12019b;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";

extern const char *PipeName;
// The current instance; INVALID_HANDLE_VALUE when there is none.
extern HANDLE PipeHandle;

// Creates the instance and logs "Waiting for connect...\n", or logs the failed
// call with its error code. Returns 0 or -1; after -1, GetLastError() gives the
// reason.
int CreatePipeInstance(void);

// Closes the instance, if any, and logs "Named Pipe closed!".
void ClosePipeInstance(void);
