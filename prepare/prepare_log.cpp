// The log made in one step: CreateFileW with CREATE_NEW and the log's own
// security descriptor leaves no moment in which the file exists with any
// other list, as a file made by a command and given its list after would.
// A file that already has the name is judged by its handle, never by name.
#include "prepare.h"

#include <aclapi.h>
#include <sddl.h>
#include <stddef.h>
#include <stdio.h>
#include <wchar.h>

#include "../log/log.h"

// Older headers (Wine's among them) lack it.
#ifndef PROTECTED_DACL_SECURITY_INFORMATION
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#endif

// Names tried beside the log for one set aside (LOG.set-aside-N): a user may
// make folders of those names in C:\ first, and files only inside them.
static const int SET_ASIDE_NAMES = 99;
// Rounds of make, find the name taken and judge: a name taken again each
// time it was set aside is not ours to fight over for ever.
static const int MAKE_ROUNDS = 3;
// The log's descriptor: owner Administrators, and a protected list with no
// inherited entries (C:\ lets every user read): Administrators and SYSTEM
// full, the service only what its writer opens with and what every open asks
// for besides (read attributes, synchronize). By SID: names change with the
// language.
#define LOG_SDDL_FORMAT L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x%lx;;;%ls)"
static const size_t LOG_SDDL_CHARS = 256;

static void SayFailed(const char *szCall, const wchar_t *wszLog, DWORD dwError)
{
    printf("%s: %s failed for %ls: error %lu\n", PREPARE_PROGRAM, szCall, wszLog,
           (unsigned long)dwError);
}

// The longest SID as text, with its NUL.
static const size_t SID_TEXT_CHARS = 192;

// The SID as text into wsz (SID_TEXT_CHARS); "" where it cannot be had.
static const wchar_t *SidText(PSID pSid, wchar_t *wsz)
{
    LPWSTR wszSid = NULL;
    wsz[0] = L'\0';
    if (ConvertSidToStringSidW(pSid, &wszSid) && wcslen(wszSid) < SID_TEXT_CHARS)
        wcscpy(wsz, wszSid);
    LocalFree(wszSid);
    return wsz;
}

static BOOL MakeLogSecurity(PSID pServiceSid, PSECURITY_DESCRIPTOR *ppSd)
{
    wchar_t wszService[SID_TEXT_CHARS], wszSddl[LOG_SDDL_CHARS];
    int cch = swprintf(wszSddl, LOG_SDDL_CHARS, LOG_SDDL_FORMAT,
                       (unsigned long)(LOG_WRITE_ACCESS | FILE_READ_ATTRIBUTES | SYNCHRONIZE),
                       SidText(pServiceSid, wszService));
    return wszService[0] != L'\0' && cch > 0 && (size_t)cch < LOG_SDDL_CHARS &&
           ConvertStringSecurityDescriptorToSecurityDescriptorW(wszSddl, SDDL_REVISION_1, ppSd,
                                                                NULL);
}

// Whether a file's owner is one the service or an administrator made it as:
// Administrators, SYSTEM, LocalService (the service's account), the
// service's own SID, or whoever runs us (an administrator, as installs run
// elevated). Anyone else may have made it to keep it open and read it.
static BOOL IsTrustedOwner(PSID pOwner, PSID pServiceSid)
{
    static const WELL_KNOWN_SID_TYPE rgTrusted[] = {WinBuiltinAdministratorsSid,
                                                    WinLocalSystemSid, WinLocalServiceSid};
    for (WELL_KNOWN_SID_TYPE type : rgTrusted) {
        BYTE rgbSid[SECURITY_MAX_SID_SIZE];
        DWORD cbSid = sizeof rgbSid;
        if (CreateWellKnownSid(type, NULL, rgbSid, &cbSid) && EqualSid(pOwner, rgbSid))
            return TRUE;
    }
    if (EqualSid(pOwner, pServiceSid))
        return TRUE;
    HANDLE hToken = NULL;
    union {
        TOKEN_USER user;
        BYTE rgb[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    DWORD cb = 0;
    BOOL fRunner = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
                   GetTokenInformation(hToken, TokenUser, &user, sizeof user, &cb) &&
                   EqualSid(pOwner, user.user.User.Sid);
    if (hToken != NULL)
        CloseHandle(hToken);
    return fRunner;
}

// Renames the open file to LOG.set-aside-N, the first N free; its name into
// wszSetAside. Through a handle of its own with delete access, reached from
// the first without its name: asked for only here, as a viewer that shares no
// delete would otherwise stop every install.
static BOOL SetAside(HANDLE hFile, const wchar_t *wszLog, wchar_t *wszSetAside,
                     size_t cchSetAside)
{
    HANDLE hDelete = ReOpenFile(hFile, DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_FLAG_OPEN_REPARSE_POINT);
    if (hDelete == INVALID_HANDLE_VALUE) {
        SayFailed("ReOpenFile", wszLog, GetLastError());
        return FALSE;
    }
    BOOL fDone = FALSE;
    union {
        FILE_RENAME_INFO info;
        BYTE rgb[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    } rename;
    // The name follows the structure's head in the buffer, past its array of one.
    wchar_t *wszTarget = (wchar_t *)(rename.rgb + offsetof(FILE_RENAME_INFO, FileName));
    for (int n = 1; n <= SET_ASIDE_NAMES; ++n) {
        memset(&rename, 0, sizeof rename);
        int cch = swprintf(wszTarget, MAX_PATH, L"%ls.set-aside-%d", wszLog, n);
        if (cch <= 0 || cch >= MAX_PATH || (size_t)cch >= cchSetAside) {
            SayFailed("swprintf", wszLog, ERROR_BUFFER_OVERFLOW);
            break;
        }
        rename.info.ReplaceIfExists = FALSE;
        rename.info.FileNameLength = (DWORD)cch * sizeof(wchar_t);
        if (SetFileInformationByHandle(hDelete, FileRenameInfo, &rename, sizeof rename)) {
            wcscpy(wszSetAside, wszTarget);
            fDone = TRUE;
            break;
        }
        DWORD dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS) {
            SayFailed("SetFileInformationByHandle", wszLog, dwError);
            break;
        }
        if (n == SET_ASIDE_NAMES)
            printf("%s: no free name beside %ls to set it aside: remove what holds "
                   "%ls.set-aside-1 to -%d, then install again\n",
                   PREPARE_PROGRAM, wszLog, wszLog, SET_ASIDE_NAMES);
    }
    CloseHandle(hDelete);
    return fDone;
}

// What stands under the log's name, opened without following a link: LogKept,
// LogRefused, LogFailed, or LogSetAsideAndMade once it has been set aside (the
// caller then makes the log). LogMade: it went away meanwhile; make it.
static LogOutcome JudgeExisting(const wchar_t *wszLog, PSECURITY_DESCRIPTOR pSd,
                                PSID pServiceSid, wchar_t *wszSetAside, size_t cchSetAside)
{
    // Backup semantics: a folder opens too, and is judged. No data access
    // (nor delete) is asked, so no other program's hold on the file stands
    // in the way.
    HANDLE hFile = CreateFileW(wszLog,
                               READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND)
            return LogMade;
        SayFailed("CreateFileW", wszLog, dwError);
        return LogFailed;
    }
    LogOutcome outcome = LogFailed;
    PSECURITY_DESCRIPTOR pOwnerSd = NULL;
    PSID pOwner = NULL, pAdministrators = NULL;
    PACL pDacl = NULL;
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwError = ERROR_SUCCESS;
    if (!GetFileInformationByHandle(hFile, &info)) {
        SayFailed("GetFileInformationByHandle", wszLog, GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        printf("%s: %ls is a folder, not a file: remove it, then install again\n",
               PREPARE_PROGRAM, wszLog);
        outcome = LogRefused;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Its owner and list would land on whatever it points to.
        printf("%s: %ls is a link or junction, not a file: remove it, then install again\n",
               PREPARE_PROGRAM, wszLog);
        outcome = LogRefused;
    } else if (info.nNumberOfLinks > 1) {
        // The same: its other names lead to it from anywhere on the volume.
        printf("%s: %ls has more than one name (a hard link), not a file of its own: remove "
               "it, then install again\n",
               PREPARE_PROGRAM, wszLog);
        outcome = LogRefused;
    } else if ((dwError = OwnerOfFile(hFile, &pOwner, &pOwnerSd)) != ERROR_SUCCESS) {
        SayFailed("GetSecurityInfo", wszLog, dwError);
    } else if (!IsTrustedOwner(pOwner, pServiceSid)) {
        // Whoever made it may hold it open still, and a handle keeps the
        // access it was opened with whatever the list becomes: never adopted,
        // never deleted.
        wchar_t wszOwner[SID_TEXT_CHARS];
        if (SetAside(hFile, wszLog, wszSetAside, cchSetAside)) {
            printf("%s: set %ls aside as %ls: its owner, %ls, is not one the service or an "
                   "administrator made it as\n",
                   PREPARE_PROGRAM, wszLog, wszSetAside, SidText(pOwner, wszOwner));
            outcome = LogSetAsideAndMade;
        }
    } else if (!GetSecurityDescriptorOwner(pSd, &pAdministrators, &fDefaulted) ||
               !GetSecurityDescriptorDacl(pSd, &fPresent, &pDacl, &fDefaulted)) {
        SayFailed("GetSecurityDescriptorOwner", wszLog, GetLastError());
    } else if ((dwError = SetSecurityInfo(hFile, SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                              PROTECTED_DACL_SECURITY_INFORMATION,
                                          pAdministrators, NULL, pDacl, NULL)) != ERROR_SUCCESS) {
        SayFailed("SetSecurityInfo", wszLog, dwError);
    } else {
        wchar_t wszOwner[SID_TEXT_CHARS];
        printf("%s: kept %ls, made by %ls, and gave it the log's owner and access list\n",
               PREPARE_PROGRAM, wszLog, SidText(pOwner, wszOwner));
        outcome = LogKept;
    }
    LocalFree(pOwnerSd);
    CloseHandle(hFile);
    return outcome;
}

LogOutcome PrepareLogFile(const wchar_t *wszLog, PSID pServiceSid, wchar_t *wszSetAside,
                          size_t cchSetAside)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!MakeLogSecurity(pServiceSid, &pSd)) {
        SayFailed("ConvertStringSecurityDescriptorToSecurityDescriptor", wszLog, GetLastError());
        return LogFailed;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSd, FALSE};
    LogOutcome outcome = LogFailed;
    BOOL fSetAside = FALSE;
    for (int iRound = 0; iRound < MAKE_ROUNDS && outcome == LogFailed; ++iRound) {
        // The name itself must be free: a link in its place fails the create
        // rather than have it made wherever the link points.
        HANDLE hFile = CreateFileW(wszLog, FILE_READ_ATTRIBUTES, 0, &sa, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (hFile != INVALID_HANDLE_VALUE) {
            CloseHandle(hFile);
            printf("%s: made %ls, owned by Administrators, for Administrators, SYSTEM and the "
                   "service alone\n",
                   PREPARE_PROGRAM, wszLog);
            outcome = fSetAside ? LogSetAsideAndMade : LogMade;
            break;
        }
        DWORD dwError = GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) {
            SayFailed("CreateFileW", wszLog, dwError);
            break;
        }
        // Taken, before us or meanwhile: judged, never adopted blindly.
        LogOutcome judged = JudgeExisting(wszLog, pSd, pServiceSid, wszSetAside, cchSetAside);
        if (judged == LogSetAsideAndMade)
            fSetAside = TRUE;
        else if (judged != LogMade)
            outcome = judged;
        if (judged == LogFailed)
            break;
        if (iRound + 1 == MAKE_ROUNDS && outcome == LogFailed)
            printf("%s: %ls was taken again each time it was free: find who makes it, then "
                   "install again\n",
                   PREPARE_PROGRAM, wszLog);
    }
    LocalFree(pSd);
    return outcome;
}
