// Preparing what the service needs before its first start: a SID of its own,
// and its log, made in one step with its owner and access list, or, where
// something already has the log's name, judged by its handle and kept only
// where nobody else holds it or may. Each outcome is one line on standard
// output and in the Application event log, under an event ID of its own.
#pragma once

#include <windows.h>

#include <stddef.h>

#include "prepare_messages.h"

// The one option: check, change nothing.
static const char CHECK_OPTION[] = "--check";
// The name each line begins with.
static const char PREPARE_PROGRAM[] = "quorvel-prepare";
// The longest line said, with its NUL; a longer one is cut.
static const size_t PREPARE_LINE_SIZE = 1024;

// Says one outcome, "quorvel-prepare: " and the formatted text, on standard
// output and in the Application event log under the service's event source,
// of type wType (EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE) and
// with dwEventId (MSG_*, prepare_messages.h).
void Say(WORD wType, DWORD dwEventId, const char *szFormat, ...);

// Gives the registered service a SID of its own (unrestricted), so that the
// log and the pipe can name it alone rather than every service of its account.
BOOL GiveServiceItsSid(const wchar_t *wszService);

enum LogOutcome {
    LogMade,            // no file had the name: made, with its list from the first moment
    LogKept,            // ours, or an administrator's, that nobody else holds or may
    LogSetAsideAndMade, // anything else: renamed beside it, given the log's list, and a
                        // new one made
    LogHeld,            // held by another program so that it cannot be set aside
    LogFailed           // a call failed, or the name kept being taken
};

// Makes or judges the log wszLog for the service of pServiceSid. A file set
// aside gets a name beside the log, written to wszSetAside (cchSetAside
// characters, MAX_PATH at least).
LogOutcome PrepareLogFile(const wchar_t *wszLog, PSID pServiceSid, wchar_t *wszSetAside,
                          size_t cchSetAside);

// Prepares the registered service and its log, the whole install step:
// returns the program's exit code, 0 when both are ready, 1 otherwise.
int PrepareInstall(const wchar_t *wszLog);

// Checks the installed service against what the preparation and the install
// make it (its account, start, SID type and recovery, the log's owner and
// list, the pipe kept from anonymous remote users): reads only, and reports
// nothing to the event log. One line per finding on standard output;
// returns how many.
int CheckInstall(const wchar_t *wszLog);
