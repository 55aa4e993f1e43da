// The log made in one step: CreateFileW with CREATE_NEW and the log's own
// security descriptor leaves no moment in which the file exists with any
// other list, as a file made by a command and given its list after would.
// What already has the name is judged by its handle, never by name, and kept
// only where nobody but us can hold it: Windows checks rights at the open, so
// whoever opened a file before its list changed keeps what they opened it
// with, and may read every later line, make it read-only or move it.
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
// The longest SID as text, with its NUL.
static const size_t SID_TEXT_CHARS = 192;

static void SayFailed(const char *szCall, const wchar_t *wszLog, DWORD dwError)
{
    Say(EVENTLOG_ERROR_TYPE, "%s failed for %ls: error %lu", szCall, wszLog,
        (unsigned long)dwError);
}

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

// Whether the service or an administrator may have made a file as pSid, and
// may hold it: Administrators, SYSTEM, LocalService (the service's account),
// the service's own SID, or whoever runs us (an administrator, as installs
// run elevated, or SYSTEM). Anyone else may have made it, or opened it, to
// keep it open and read it.
static BOOL IsTrusted(PSID pSid, PSID pServiceSid)
{
    static const WELL_KNOWN_SID_TYPE rgTrusted[] = {WinBuiltinAdministratorsSid,
                                                    WinLocalSystemSid, WinLocalServiceSid};
    for (WELL_KNOWN_SID_TYPE type : rgTrusted) {
        BYTE rgbSid[SECURITY_MAX_SID_SIZE];
        DWORD cbSid = sizeof rgbSid;
        if (CreateWellKnownSid(type, NULL, rgbSid, &cbSid) && EqualSid(pSid, rgbSid))
            return TRUE;
    }
    if (EqualSid(pSid, pServiceSid))
        return TRUE;
    HANDLE hToken = NULL;
    union {
        TOKEN_USER user;
        BYTE rgb[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    DWORD cb = 0;
    BOOL fRunner = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
                   GetTokenInformation(hToken, TokenUser, &user, sizeof user, &cb) &&
                   EqualSid(pSid, user.user.User.Sid);
    if (hToken != NULL)
        CloseHandle(hToken);
    return fRunner;
}

// Whether an entry of the list grants anything to someone we do not trust;
// who, as text, into wszWho (SID_TEXT_CHARS). No list at all grants everyone
// everything; an entry of a kind not judged here counts as such a grant.
static BOOL GrantsOthers(PACL pDacl, PSID pServiceSid, wchar_t *wszWho)
{
    if (pDacl == NULL) {
        wcscpy(wszWho, L"everyone (it has no access list)");
        return TRUE;
    }
    for (DWORD i = 0; i < pDacl->AceCount; ++i) {
        ACE_HEADER *pAce = NULL;
        if (!GetAce(pDacl, i, (LPVOID *)&pAce) || pAce->AceType > ACCESS_DENIED_ACE_TYPE) {
            wcscpy(wszWho, L"someone, in an entry of a kind not judged here");
            return TRUE;
        }
        // A denial grants nothing; an inherit-only entry applies to no file.
        if (pAce->AceType != ACCESS_ALLOWED_ACE_TYPE || (pAce->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE *pAllowed = (ACCESS_ALLOWED_ACE *)pAce;
        if (pAllowed->Mask != 0 && !IsTrusted(&pAllowed->SidStart, pServiceSid)) {
            SidText(&pAllowed->SidStart, wszWho);
            return TRUE;
        }
    }
    return FALSE;
}

// Renames what hDelete (opened with delete access, never through a link)
// names to LOG.set-aside-N, the first N free; its name into wszSetAside.
static BOOL SetAside(HANDLE hDelete, const wchar_t *wszLog, wchar_t *wszSetAside,
                     size_t cchSetAside)
{
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
            return FALSE;
        }
        rename.info.ReplaceIfExists = FALSE;
        rename.info.FileNameLength = (DWORD)cch * sizeof(wchar_t);
        if (SetFileInformationByHandle(hDelete, FileRenameInfo, &rename, sizeof rename)) {
            wcscpy(wszSetAside, wszTarget);
            return TRUE;
        }
        DWORD dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS) {
            SayFailed("SetFileInformationByHandle", wszLog, dwError);
            return FALSE;
        }
    }
    Say(EVENTLOG_ERROR_TYPE,
        "no free name beside %ls to set it aside: remove what holds %ls.set-aside-1 to -%d, then "
        "install again",
        wszLog, wszLog, SET_ASIDE_NAMES);
    return FALSE;
}

// Sets aside what stands in the log's place, for szWhy; LogSetAsideAndMade
// (the caller then makes the log), or LogRefused with a line saying what it
// is (szWhat) and what to do. hFile, where given, is reopened with delete
// access alone: asked for only here, as a viewer that shares no delete would
// otherwise stop every install. Without it, the name is opened for delete,
// which an administrator has through C:\ even where the thing's own list
// denies everything.
static LogOutcome SetAsideOrRefuse(HANDLE hFile, const wchar_t *wszLog, const char *szWhat,
                                   const wchar_t *wszWhy, wchar_t *wszSetAside, size_t cchSetAside)
{
    HANDLE hDelete = (hFile != INVALID_HANDLE_VALUE)
                         ? ReOpenFile(hFile, DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS)
                         : OpenLogPlace(wszLog, DELETE);
    DWORD dwError = GetLastError();
    BOOL fSetAside = hDelete != INVALID_HANDLE_VALUE &&
                     SetAside(hDelete, wszLog, wszSetAside, cchSetAside);
    if (hDelete != INVALID_HANDLE_VALUE)
        CloseHandle(hDelete);
    if (fSetAside) {
        Say(EVENTLOG_WARNING_TYPE, "set %ls aside as %ls: %ls", wszLog, wszSetAside, wszWhy);
        return LogSetAsideAndMade;
    }
    if (hDelete == INVALID_HANDLE_VALUE)
        Say(EVENTLOG_ERROR_TYPE,
            "%ls is %s that cannot be set aside (error %lu): take it over (takeown /f %ls, then "
            "icacls %ls /grant Administrators:F), move or remove it, then install again",
            wszLog, szWhat, (unsigned long)dwError, wszLog, wszLog);
    return LogRefused;
}

// What stands under the log's name, for the lines that say so.
static const char *KindOf(DWORD dwAttributes)
{
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link or junction";
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "a folder" : "a file";
}

// Keeps the file hFile: its owner and list through a handle reopened for
// them alone, and no read-only attribute, which would refuse every line.
static LogOutcome Keep(HANDLE hFile, const wchar_t *wszLog, PSECURITY_DESCRIPTOR pSd,
                       DWORD dwAttributes, PSID pOwner)
{
    PSID pAdministrators = NULL;
    PACL pDacl = NULL;
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(pSd, &pAdministrators, &fDefaulted) ||
        !GetSecurityDescriptorDacl(pSd, &fPresent, &pDacl, &fDefaulted)) {
        SayFailed("GetSecurityDescriptorOwner", wszLog, GetLastError());
        return LogFailed;
    }
    // Read control too: Wine reads the old descriptor before it sets a list.
    HANDLE hKeep = ReOpenFile(hFile, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_FLAG_OPEN_REPARSE_POINT);
    if (hKeep == INVALID_HANDLE_VALUE) {
        SayFailed("ReOpenFile", wszLog, GetLastError());
        return LogFailed;
    }
    LogOutcome outcome = LogFailed;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = dwAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Writable first: Wine refuses a read-only file a new list.
    DWORD dwError = ERROR_SUCCESS;
    if ((dwAttributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileInformationByHandle(hKeep, FileBasicInfo, &basic, sizeof basic)) {
        SayFailed("SetFileInformationByHandle", wszLog, GetLastError());
    } else if ((dwError = SetSecurityInfo(hKeep, SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                              PROTECTED_DACL_SECURITY_INFORMATION,
                                          pAdministrators, NULL, pDacl, NULL)) != ERROR_SUCCESS) {
        SayFailed("SetSecurityInfo", wszLog, dwError);
    } else {
        wchar_t wszOwner[SID_TEXT_CHARS];
        Say(EVENTLOG_INFORMATION_TYPE,
            "kept %ls, made by %ls, and gave it the log's owner and access list", wszLog,
            SidText(pOwner, wszOwner));
        outcome = LogKept;
    }
    CloseHandle(hKeep);
    return outcome;
}

// What stands under the log's name: LogKept, LogRefused, LogFailed, or
// LogSetAsideAndMade once it has been set aside (the caller then makes the
// log). LogMade: it went away meanwhile; make it.
static LogOutcome JudgeExisting(const wchar_t *wszLog, PSECURITY_DESCRIPTOR pSd,
                                PSID pServiceSid, wchar_t *wszSetAside, size_t cchSetAside)
{
    // Only what judging needs: no data, delete or write access, so no other
    // program's hold on the file stands in the way, nor a list that grants
    // an administrator less than its owner could.
    HANDLE hFile = OpenLogPlace(wszLog, READ_CONTROL | FILE_READ_ATTRIBUTES);
    if (hFile == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND)
            return LogMade;
        if (dwError != ERROR_ACCESS_DENIED) {
            SayFailed("CreateFileW", wszLog, dwError);
            return LogFailed;
        }
        // Its folder's listing still says what it is.
        WIN32_FIND_DATAW found;
        HANDLE hFind = FindFirstFileW(wszLog, &found);
        const char *szWhat = (hFind != INVALID_HANDLE_VALUE) ? KindOf(found.dwFileAttributes)
                                                             : "something";
        if (hFind != INVALID_HANDLE_VALUE)
            FindClose(hFind);
        wchar_t wszWhy[PREPARE_LINE_SIZE];
        swprintf(wszWhy, PREPARE_LINE_SIZE, L"it is %hs whose access list shuts out even an "
                 L"administrator", szWhat);
        return SetAsideOrRefuse(INVALID_HANDLE_VALUE, wszLog, szWhat, wszWhy, wszSetAside,
                                cchSetAside);
    }
    LogOutcome outcome = LogFailed;
    PSECURITY_DESCRIPTOR pOwnerSd = NULL, pDaclSd = NULL;
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwError = ERROR_SUCCESS;
    wchar_t wszWho[SID_TEXT_CHARS], wszWhy[PREPARE_LINE_SIZE];
    if (!GetFileInformationByHandle(hFile, &info)) {
        SayFailed("GetFileInformationByHandle", wszLog, GetLastError());
    } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link's owner and list would land on whatever it points to; a
        // folder is no log. What it points to is never touched.
        const char *szWhat = KindOf(info.dwFileAttributes);
        swprintf(wszWhy, PREPARE_LINE_SIZE, L"it is %hs, not a file", szWhat);
        outcome = SetAsideOrRefuse(hFile, wszLog, szWhat, wszWhy, wszSetAside, cchSetAside);
    } else if (info.nNumberOfLinks > 1) {
        // Its other names lead to it from anywhere on the volume.
        outcome = SetAsideOrRefuse(hFile, wszLog, "a file of more than one name",
                                   L"it has more than one name (a hard link), not a file of its own",
                                   wszSetAside, cchSetAside);
    } else if ((dwError = OwnerOfFile(hFile, &pOwner, &pOwnerSd)) != ERROR_SUCCESS ||
               (dwError = GetSecurityInfo(hFile, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL,
                                          NULL, &pDacl, NULL, &pDaclSd)) != ERROR_SUCCESS) {
        SayFailed("GetSecurityInfo", wszLog, dwError);
    } else if (!IsTrusted(pOwner, pServiceSid)) {
        // Never adopted, never deleted.
        swprintf(wszWhy, PREPARE_LINE_SIZE,
                 L"its owner, %ls, is not one the service or an administrator made it as",
                 SidText(pOwner, wszWho));
        outcome = SetAsideOrRefuse(hFile, wszLog, "a file", wszWhy, wszSetAside, cchSetAside);
    } else if (GrantsOthers(pDacl, pServiceSid, wszWho)) {
        swprintf(wszWhy, PREPARE_LINE_SIZE,
                 L"its access list lets %ls in, who may hold it open whatever the list becomes",
                 wszWho);
        outcome = SetAsideOrRefuse(hFile, wszLog, "a file", wszWhy, wszSetAside, cchSetAside);
    } else {
        outcome = Keep(hFile, wszLog, pSd, info.dwFileAttributes, pOwner);
    }
    LocalFree(pOwnerSd);
    LocalFree(pDaclSd);
    CloseHandle(hFile);
    return outcome;
}

LogOutcome PrepareLogFile(const wchar_t *wszLog, PSID pServiceSid, wchar_t *wszSetAside,
                          size_t cchSetAside)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!MakeLogSecurity(pServiceSid, TRUE, &pSd)) {
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
            Say(EVENTLOG_INFORMATION_TYPE,
                "made %ls, owned by Administrators, for Administrators, SYSTEM and the service "
                "alone",
                wszLog);
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
        if (judged == LogFailed || judged == LogRefused)
            break;
        if (iRound + 1 == MAKE_ROUNDS && outcome == LogFailed)
            Say(EVENTLOG_ERROR_TYPE,
                "%ls was taken again each time it was free: find who makes it, then install "
                "again",
                wszLog);
    }
    LocalFree(pSd);
    return outcome;
}
