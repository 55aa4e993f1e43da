// Who the service is: its name, the SID Windows gives it and the rule that
// SID is made by, and the access lists of what it owns (its log and its
// pipe), which name that SID. The lowest room: every other includes it, it
// includes none of ours.
#pragma once

#include <windows.h>

#define QUORVEL_SERVICE_NAME "Quorvel service"
static const char SERVICE_NAME[] = QUORVEL_SERVICE_NAME;
static const wchar_t SERVICE_NAME_W[] = L"" QUORVEL_SERVICE_NAME;

// The SID type the service is registered with: a SID of its own, in its
// token with its account's, so its lists can name it alone and not every
// service of that account. Older headers (Wine's among them) lack the name.
static const DWORD SERVICE_OWN_SID_TYPE = 0x00000001; // SERVICE_SID_TYPE_UNRESTRICTED

// The one right the log's writer opens it with (every line lands at its
// end): the log's list grants the service that and no more.
static const DWORD LOG_WRITE_ACCESS = FILE_APPEND_DATA;

// The SID Windows gives the service named wszService ("NT SERVICE\<name>"),
// derived from its name by the platform's rule, into *ppSid (freed with
// FreeSid). FALSE with GetLastError() set.
BOOL ServiceSidOf(const wchar_t *wszService, PSID *ppSid);
// The same for this service.
BOOL OurServiceSid(PSID *ppSid);
// Whether pSid has the shape of a service's SID (S-1-5-80 and five parts).
BOOL IsServiceSid(PSID pSid);

// The log's security descriptor, into *ppSd (freed with LocalFree): its
// protected access list (Administrators and SYSTEM, and the service of
// pServiceSid with LOG_WRITE_ACCESS where one is given), and with fOwner its
// owner, Administrators. FALSE with GetLastError() set.
BOOL MakeLogSecurity(PSID pServiceSid, BOOL fOwner, PSECURITY_DESCRIPTOR *ppSd);
// Whether the log's own list (for the service of pServiceSid) names pSid.
BOOL LogListNames(PSID pServiceSid, PSID pSid);

// The pipe's security descriptor, into *ppSd (freed with LocalFree): read
// and write for everyone, full access for SYSTEM, Administrators and
// pFullAccess (the service itself), and pOwner as owner where it is not
// NULL. On failure *pszFailedCall names the call and GetLastError() its error.
BOOL MakePipeSecurity(PSID pFullAccess, PSID pOwner, PSECURITY_DESCRIPTOR *ppSd,
                      const char **pszFailedCall);
