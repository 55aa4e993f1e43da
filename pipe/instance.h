// The pipe instance: the one server end of the pipe that clients open. The
// service serves through one instance at a time; the next is created before
// the last is closed, so that the name never lapses. Each creation and close
// is logged.
#pragma once

#include <windows.h>

#include "protocol.h"

// Read and write for everyone, local, remote and anonymous alike, but neither
// creating instances nor changing the pipe's permissions or owner: a null DACL
// would let any user answer our clients or lock everyone out. The service
// itself is added at run time with full access, by its own SID where its
// token holds one, otherwise by its account: a further instance of an
// existing pipe needs FILE_CREATE_PIPE_INSTANCE, which LocalService, say,
// would otherwise lack.
static const char PIPE_SDDL[] =
    "D:(A;;0x12019b;;;WD)(A;;0x12019b;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";
// The entry appended for the service's own account, less its SID.
#define PIPE_OWN_ENTRY_FORMAT "(A;;FA;;;%s)"
// The longest SID as a string: "S-1-", an authority of up to 15 characters and
// 15 sub-authorities of a dash and up to 10 digits each.
static const size_t SID_STRING_MAX_CHARS = 4 + 15 + 15 * 11;
// With the owner ("O:" and a SID) where one is named.
static const size_t PIPE_SDDL_SIZE = sizeof "O:" - 1 + SID_STRING_MAX_CHARS + sizeof PIPE_SDDL +
                                     sizeof PIPE_OWN_ENTRY_FORMAT - sizeof "%s" +
                                     SID_STRING_MAX_CHARS;

// The line logged whenever the service lets go of its instance.
static const char PIPE_CLOSED_LINE[] = "Named Pipe closed!";

extern const char *PipeName;
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
int ReplacePipeInstance(void);

// Disconnects the current instance's client, readying it for the next one.
void ReusePipeInstance(void);

// Closes the instance, if any, and logs "Named Pipe closed!".
void ClosePipeInstance(void);
