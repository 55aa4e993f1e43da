// Setting aside what stands in the log's place: renamed beside it under a name
// nobody can take ahead of us, and given the log's owner and list.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "prepare.h"

// Sets aside what has the name wszLog, for wszWhy, through a handle reopened
// from hFile, or, where hFile is INVALID_HANDLE_VALUE (its list shuts us out),
// opened by name for delete, which an administrator has through C:\.
// LogSetAsideAndMade once it is renamed (the caller then makes the log);
// LogHeld where another program holds it so that it cannot be; LogFailed.
// szWhat says what it is, for the lines; its new name goes to wszSetAside.
LogOutcome SetAside(HANDLE hFile, const wchar_t *wszLog, PSID pServiceSid, const char *szWhat,
                    const wchar_t *wszWhy, wchar_t *wszSetAside, size_t cchSetAside);

// Says that a call failed for the log.
void SayFailed(const char *szCall, const wchar_t *wszLog, DWORD dwError);
