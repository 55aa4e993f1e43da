// The seams of the preparation: the calls whose answers Wine cannot give as
// Windows does, each in a file of its own (seam_*_win.cpp) that a test's
// model of Windows replaces at link time. Each holds the one real call, with
// its own arguments.
#pragma once

#include <windows.h>

#include <restartmanager.h>
#include <wincrypt.h>

// CreateFileW of the log's name, made or opened: Wine enforces no access
// list, so none there shuts an administrator out, and no other program
// takes the name between our calls.
HANDLE CreateLogPlace(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                      DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate);

// GetSecurityInfo of an open file: under Wine every file is owned by the user
// it runs as, and its list is read back from the file's mode, so no entry
// names anyone but SYSTEM, that user and everyone.
DWORD ReadFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID *ppOwner, PACL *ppDacl,
                      PSECURITY_DESCRIPTOR *ppSd);

// RmGetList: Wine's Restart Manager names no program that holds a file.
DWORD ListFileHolders(DWORD dwSession, UINT *pnNeeded, UINT *pnInfo, RM_PROCESS_INFO *rgInfo,
                      DWORD *pdwReasons);

// CryptGenRandom: the random part of a set-aside's name, which no test could
// otherwise make collide.
BOOL GenerateRandom(HCRYPTPROV hProvider, DWORD cb, BYTE *pb);

// ChangeServiceConfig2W: Wine's service manager keeps no SID type.
BOOL ChangeServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID pvInfo);

// RegisterEventSourceA on this machine: the Event Viewer finds a line's
// message by the source's name, which Wine, keeping no event log, never uses.
HANDLE OpenEventSource(LPCSTR szSource);

// ReportEventA: Wine keeps no event log.
BOOL ReportEventLine(HANDLE hSource, WORD wType, DWORD dwEventId, LPCSTR szLine);

// SetSecurityInfo of an open file's owner and list: Wine turns a list into
// the file's mode, and one that names none of its users (as the log's names
// Administrators, SYSTEM and a service) into a mode every user may read, so
// no test under Wine can see the list that was set.
DWORD WriteFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID pOwner, PACL pDacl);

// QueryServiceConfig2W: Wine's service manager keeps no SID type nor the
// failure actions flag.
BOOL QueryServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE pbBuffer, DWORD cbBuffer,
                         LPDWORD pcbNeeded);
