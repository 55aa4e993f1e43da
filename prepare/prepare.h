// Preparing what the service needs before its first start: a SID of its own,
// and its log, made in one step with its owner and access list, or, where a
// file already has the log's name, judged by its handle. Each outcome is one
// line on standard output.
#pragma once

#include <windows.h>

#include <stddef.h>

// The name each line begins with.
static const char PREPARE_PROGRAM[] = "quorvel-prepare";

// Gives the registered service a SID of its own (unrestricted), so that the
// log and the pipe can name it alone rather than every service of its account.
BOOL GiveServiceItsSid(const wchar_t *wszService);

// The SID Windows gives a service of its own ("NT SERVICE\<name>"), into
// *ppSid (freed with FreeSid). FALSE with the failed call said.
BOOL MakeServiceSid(const wchar_t *wszService, PSID *ppSid);

enum LogOutcome {
    LogMade,            // no file had the name: made, with its list from the first moment
    LogKept,            // one we or an administrator made: given its owner and list again
    LogSetAsideAndMade, // one someone else made: renamed beside it, and a new one made
    LogRefused,         // a folder, a link, or a file of more than one name
    LogFailed           // a call failed, or the name kept being taken
};

// Makes or judges the log wszLog for the service of pServiceSid. A file set
// aside gets a name beside the log, written to wszSetAside (cchSetAside
// characters).
LogOutcome PrepareLogFile(const wchar_t *wszLog, PSID pServiceSid, wchar_t *wszSetAside,
                          size_t cchSetAside);

// The owner of an open file, as GetSecurityInfo gives it (*ppSd, to free
// with LocalFree, holds it): behind a seam (owner_win.cpp), as under Wine
// every file is owned by the one user it runs as; the tests put another
// owner in its place. Returns GetSecurityInfo's error.
DWORD OwnerOfFile(HANDLE hFile, PSID *ppOwner, PSECURITY_DESCRIPTOR *ppSd);
