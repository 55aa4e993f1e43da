// Preparing what the service needs before its first start: a SID of its own,
// and its log, made in one step with its owner and access list, or, where
// something already has the log's name, judged by its handle. Each outcome is
// one line on standard output and in the Application event log.
#pragma once

#include <windows.h>

#include <stddef.h>

// The name each line begins with.
static const char PREPARE_PROGRAM[] = "quorvel-prepare";
// The longest line said, with its NUL; a longer one is cut.
static const size_t PREPARE_LINE_SIZE = 1024;

// Says one outcome, "quorvel-prepare: " and the formatted text, on standard
// output and in the Application event log under the service's event source,
// of type wType (EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE).
void Say(WORD wType, const char *szFormat, ...);

// ReportEventA of one line under the service's event source, with the
// message that shows it: behind a seam (seam_event_win.cpp), as Wine keeps no
// event log; the tests read what is reported there.
BOOL ReportToEventLog(WORD wType, DWORD dwEventId, const char *szLine);

// Opens what has the log's name, never following a link, for dwAccess alone:
// behind a seam (seam_open_win.cpp), as Wine enforces no access list, so no list
// there can shut an administrator out; the tests put one in its place.
HANDLE OpenLogPlace(const wchar_t *wszLog, DWORD dwAccess);

// Gives the registered service a SID of its own (unrestricted), so that the
// log and the pipe can name it alone rather than every service of its account.
BOOL GiveServiceItsSid(const wchar_t *wszService);

// The SID Windows gives a service of its own ("NT SERVICE\<name>"), into
// *ppSid (freed with FreeSid). FALSE with the failed call said.
BOOL MakeServiceSid(const wchar_t *wszService, PSID *ppSid);

enum LogOutcome {
    LogMade,            // no file had the name: made, with its list from the first moment
    LogKept,            // one we or an administrator made: given its owner and list again
    LogSetAsideAndMade, // one others may hold, or no file of its own (a folder, a link,
                        // a second name): renamed beside it, and a new one made
    LogRefused,         // something that could not be set aside
    LogFailed           // a call failed, or the name kept being taken
};

// Makes or judges the log wszLog for the service of pServiceSid. A file set
// aside gets a name beside the log, written to wszSetAside (cchSetAside
// characters).
LogOutcome PrepareLogFile(const wchar_t *wszLog, PSID pServiceSid, wchar_t *wszSetAside,
                          size_t cchSetAside);

// The owner of an open file, as GetSecurityInfo gives it (*ppSd, to free
// with LocalFree, holds it): behind a seam (seam_owner_win.cpp), as under Wine
// every file is owned by the one user it runs as; the tests put another
// owner in its place. Returns GetSecurityInfo's error.
DWORD OwnerOfFile(HANDLE hFile, PSID *ppOwner, PSECURITY_DESCRIPTOR *ppSd);
