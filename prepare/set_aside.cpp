// What is set aside is renamed through its own handle, never by name, so
// nothing can be slipped into its place between a look and the move.
#include "set_aside.h"

#include <aclapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "../identity/identity.h"
#include "seams_win.h"

// Older headers (Wine's among them) lack it.
#ifndef PROTECTED_DACL_SECURITY_INFORMATION
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#endif

// Names tried for one set-aside: each new name is random, so only a collision
// with what a user made by chance, or a name taken as we try it, asks for
// another; a user who cannot guess the names cannot use them all up.
static const int SET_ASIDE_TRIES = 8;
// Programs named in the line of a log held open; a few tell the
// administrator where to look.
static const UINT HOLDERS_NAMED = 4;

void SayFailed(const char *szCall, const wchar_t *wszLog, DWORD dwError)
{
    Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED, "%s failed for %ls: error %lu", szCall, wszLog,
        (unsigned long)dwError);
}

// A new name beside the log: the local time of the set-aside and 32 random
// bits (LOG.set-aside-20261210-141900-7f3a09c2).
static BOOL MakeSetAsideName(HCRYPTPROV hProvider, const wchar_t *wszLog, wchar_t *wszName,
                             size_t cchName)
{
    DWORD dwRandom = 0;
    if (!GenerateRandom(hProvider, sizeof dwRandom, (BYTE *)&dwRandom))
        return FALSE;
    SYSTEMTIME now;
    GetLocalTime(&now);
    int cch = swprintf(wszName, cchName, L"%ls.set-aside-%04u%02u%02u-%02u%02u%02u-%08lx", wszLog,
                       now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                       (unsigned long)dwRandom);
    if (cch <= 0 || (size_t)cch >= cchName) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    return TRUE;
}

// Renames what hMove (opened with delete access) names to a new name, never
// over something that has it; the name into wszSetAside.
static DWORD Rename(HANDLE hMove, const wchar_t *wszLog, wchar_t *wszSetAside, size_t cchSetAside)
{
    HCRYPTPROV hProvider = 0;
    if (!CryptAcquireContextW(&hProvider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return GetLastError();
    union {
        FILE_RENAME_INFO info;
        BYTE rgb[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    } rename;
    // The name follows the structure's head in the buffer, past its array of one.
    wchar_t *wszTarget = (wchar_t *)(rename.rgb + offsetof(FILE_RENAME_INFO, FileName));
    DWORD dwError = ERROR_ALREADY_EXISTS;
    for (int iTry = 0; iTry < SET_ASIDE_TRIES && dwError == ERROR_ALREADY_EXISTS; ++iTry) {
        memset(&rename, 0, sizeof rename);
        if (!MakeSetAsideName(hProvider, wszLog, wszTarget, MAX_PATH) ||
            wcslen(wszTarget) >= cchSetAside) {
            dwError = GetLastError();
            break;
        }
        rename.info.ReplaceIfExists = FALSE;
        rename.info.FileNameLength = (DWORD)(wcslen(wszTarget) * sizeof(wchar_t));
        if (SetFileInformationByHandle(hMove, FileRenameInfo, &rename, sizeof rename)) {
            wcscpy(wszSetAside, wszTarget);
            dwError = ERROR_SUCCESS;
        } else {
            dwError = GetLastError();
            if (dwError == ERROR_FILE_EXISTS)
                dwError = ERROR_ALREADY_EXISTS;
        }
    }
    CryptReleaseContext(hProvider, 0);
    return dwError;
}

// The programs holding wszLog open, as the Restart Manager names them
// ("viewer.exe (process 4242), ..."), into wszHolders; "" where it names none.
static void NameHolders(const wchar_t *wszLog, wchar_t *wszHolders, size_t cchHolders)
{
    wszHolders[0] = L'\0';
    DWORD dwSession = 0;
    WCHAR wszKey[CCH_RM_SESSION_KEY + 1] = L"";
    if (RmStartSession(&dwSession, 0, wszKey) != ERROR_SUCCESS)
        return;
    LPCWSTR rgwszFiles[] = {wszLog};
    RM_PROCESS_INFO rgInfo[HOLDERS_NAMED];
    UINT nNeeded = 0, nInfo = HOLDERS_NAMED;
    DWORD dwReasons = 0, dwError = RmRegisterResources(dwSession, 1, rgwszFiles, 0, NULL, 0, NULL);
    if (dwError == ERROR_SUCCESS)
        dwError = ListFileHolders(dwSession, &nNeeded, &nInfo, rgInfo, &dwReasons);
    // More than fit: those that did are named all the same.
    if (dwError == ERROR_SUCCESS || dwError == ERROR_MORE_DATA) {
        size_t cch = 0;
        for (UINT i = 0; i < nInfo && i < HOLDERS_NAMED && cch < cchHolders; ++i) {
            rgInfo[i].strAppName[CCH_RM_MAX_APP_NAME] = L'\0';
            int cchOne = swprintf(wszHolders + cch, cchHolders - cch, L"%ls%ls (process %lu)",
                                  i > 0 ? L", " : L"", rgInfo[i].strAppName,
                                  (unsigned long)rgInfo[i].Process.dwProcessId);
            if (cchOne < 0)
                break;
            cch += (size_t)cchOne;
        }
    }
    RmEndSession(dwSession);
}

// Gives what was set aside the log's owner and protected list, through the
// handle that moved it: its lines stay, for administrators only.
static DWORD Protect(HANDLE hMove, PSID pServiceSid)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    if (!MakeLogSecurity(pServiceSid, TRUE, &pSd) ||
        !GetSecurityDescriptorOwner(pSd, &pOwner, &fDefaulted) ||
        !GetSecurityDescriptorDacl(pSd, &fPresent, &pDacl, &fDefaulted)) {
        DWORD dwError = GetLastError();
        LocalFree(pSd);
        return dwError;
    }
    DWORD dwError = WriteFileSecurityInfo(hMove,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                        PROTECTED_DACL_SECURITY_INFORMATION,
                                    pOwner, pDacl);
    LocalFree(pSd);
    return dwError;
}

LogOutcome SetAside(HANDLE hFile, const wchar_t *wszLog, PSID pServiceSid, const char *szWhat,
                    const wchar_t *wszWhy, wchar_t *wszSetAside, size_t cchSetAside)
{
    // Sharing all: a holder that shares delete cannot stop the move, and the
    // rights over the list are no data access that a holder could refuse.
    const DWORD dwShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD dwFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    const DWORD dwAccess = DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;
    HANDLE hMove = (hFile != INVALID_HANDLE_VALUE)
                       ? ReOpenFile(hFile, dwAccess, dwShareAll, dwFlags)
                       : CreateLogPlace(wszLog, dwAccess, dwShareAll, NULL, OPEN_EXISTING, dwFlags,
                                        NULL);
    // A list that shuts even an administrator out still leaves delete, through
    // C:\'s list; it is kept, as it shuts everyone else out too.
    BOOL fListToo = hMove != INVALID_HANDLE_VALUE;
    if (hMove == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        hMove = CreateLogPlace(wszLog, DELETE, dwShareAll, NULL, OPEN_EXISTING, dwFlags, NULL);
    DWORD dwError = (hMove == INVALID_HANDLE_VALUE)
                        ? GetLastError()
                        : Rename(hMove, wszLog, wszSetAside, cchSetAside);
    DWORD dwListError = (dwError == ERROR_SUCCESS && fListToo) ? Protect(hMove, pServiceSid)
                                                               : ERROR_SUCCESS;
    if (hMove != INVALID_HANDLE_VALUE)
        CloseHandle(hMove);

    if (dwError == ERROR_SUCCESS) {
        Say(EVENTLOG_WARNING_TYPE, MSG_LOG_SET_ASIDE, "set %ls aside as %ls: %ls", wszLog,
            wszSetAside, wszWhy);
        if (dwListError != ERROR_SUCCESS)
            Say(EVENTLOG_WARNING_TYPE, MSG_LOG_SET_ASIDE,
                "%ls keeps its own access list (error %lu giving it the log's)", wszSetAside,
                (unsigned long)dwListError);
        return LogSetAsideAndMade;
    }
    if (dwError == ERROR_SHARING_VIOLATION) {
        wchar_t wszHolders[PREPARE_LINE_SIZE / 2];
        NameHolders(wszLog, wszHolders, sizeof wszHolders / sizeof wszHolders[0]);
        Say(EVENTLOG_ERROR_TYPE, MSG_LOG_HELD,
            "%ls is %s held open by %ls: close it, then install again", wszLog, szWhat,
            wszHolders[0] != L'\0' ? wszHolders : L"another program");
        return LogHeld;
    }
    if (dwError == ERROR_ACCESS_DENIED)
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
            "%ls is %s that cannot be set aside (error %lu): take it over (takeown /f %ls, then "
            "icacls %ls /grant Administrators:F), move or remove it, then install again",
            wszLog, szWhat, (unsigned long)dwError, wszLog, wszLog);
    else if (dwError == ERROR_ALREADY_EXISTS)
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
            "every name tried beside %ls to set it aside was taken: install again", wszLog);
    else
        SayFailed("SetFileInformationByHandle", wszLog, dwError);
    return LogFailed;
}
