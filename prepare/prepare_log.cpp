// The log made in one step: CreateFileW with CREATE_NEW and the log's own
// security descriptor leaves no moment in which the file exists with any
// other list, as a file made by a command and given its list after would.
// What already has the name is judged by its handle, never by name, and kept
// only where nobody but us holds it or may: Windows checks rights at the
// open, so whoever opened a file before its list changed keeps what they
// opened it with, and may read every later line, make it read-only or move it.
#include "prepare.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>

#include "../identity/identity.h"
#include "seams_win.h"
#include "set_aside.h"

// Older headers (Wine's among them) lack it.
#ifndef PROTECTED_DACL_SECURITY_INFORMATION
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#endif

// Rounds of make, find the name taken and judge: a name taken again each
// time it was set aside is not ours to fight over for ever.
static const int MAKE_ROUNDS = 3;
// The longest SID as text, with its NUL.
static const size_t SID_TEXT_CHARS = 192;
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// Wine gives every file the user it runs as for owner, and reads its list
// back from the file's mode as entries for SYSTEM, that user and everyone,
// whatever was set: that user then stands where Windows shows Administrators.
// Windows keeps what was set, so there nobody else is trusted.
static BOOL IsRunnerOnWine(PSID pSid)
{
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    if (hNtdll == NULL || GetProcAddress(hNtdll, "wine_get_version") == NULL)
        return FALSE;
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

// Whether pSid may own the log: Administrators or SYSTEM, which the service
// and installs run as (LocalService, the service's account, stands for every
// service of that account).
static BOOL IsTrustedOwner(PSID pSid)
{
    static const WELL_KNOWN_SID_TYPE rgOwners[] = {WinBuiltinAdministratorsSid,
                                                   WinLocalSystemSid};
    for (WELL_KNOWN_SID_TYPE type : rgOwners) {
        BYTE rgbSid[SECURITY_MAX_SID_SIZE];
        DWORD cbSid = sizeof rgbSid;
        if (CreateWellKnownSid(type, NULL, rgbSid, &cbSid) && EqualSid(pSid, rgbSid))
            return TRUE;
    }
    return IsRunnerOnWine(pSid);
}

// Whether an entry of the list, its own or inherited, grants anything to one
// the log's own list does not name; who, as text, into wszWho
// (SID_TEXT_CHARS). No list at all grants everyone everything; an entry of a
// kind not judged here counts as such a grant.
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
        PSID pSid = &((ACCESS_ALLOWED_ACE *)pAce)->SidStart;
        if (((ACCESS_ALLOWED_ACE *)pAce)->Mask != 0 && !LogListNames(pServiceSid, pSid) &&
            !IsRunnerOnWine(pSid)) {
            SidText(pSid, wszWho);
            return TRUE;
        }
    }
    return FALSE;
}

// What stands under the log's name, for the lines that say so.
static const char *KindOf(DWORD dwAttributes)
{
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link or junction";
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "a folder" : "a file";
}

// Keeps the file hOnly holds with no sharing: gives it the log's owner and
// list, and no read-only attribute, which would refuse every line; nobody
// can open it while this is done.
static LogOutcome Keep(HANDLE hOnly, const wchar_t *wszLog, PSECURITY_DESCRIPTOR pSd,
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
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = dwAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Writable first: Wine refuses a read-only file a new list.
    DWORD dwError = ERROR_SUCCESS;
    if ((dwAttributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileInformationByHandle(hOnly, FileBasicInfo, &basic, sizeof basic)) {
        SayFailed("SetFileInformationByHandle", wszLog, GetLastError());
        return LogFailed;
    }
    if ((dwError = WriteFileSecurityInfo(hOnly,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                       PROTECTED_DACL_SECURITY_INFORMATION,
                                   pAdministrators, pDacl)) != ERROR_SUCCESS) {
        SayFailed("SetSecurityInfo", wszLog, dwError);
        return LogFailed;
    }
    wchar_t wszOwner[SID_TEXT_CHARS];
    Say(EVENTLOG_INFORMATION_TYPE, MSG_LOG_KEPT,
        "kept %ls, made by %ls, held by nobody, and gave it the log's owner and access list",
        wszLog, SidText(pOwner, wszOwner));
    return LogKept;
}

// What stands under the log's name: LogKept, LogHeld, LogFailed, or
// LogSetAsideAndMade once it has been set aside (the caller then makes the
// log). LogMade: it went away meanwhile; make it.
static LogOutcome JudgeExisting(const wchar_t *wszLog, PSECURITY_DESCRIPTOR pSd,
                                PSID pServiceSid, wchar_t *wszSetAside, size_t cchSetAside)
{
    // Only what judging needs: no data, delete or write access, so no other
    // program's hold on the file stands in the way of the look, nor a list
    // that grants an administrator less than its owner could.
    HANDLE hFile = CreateLogPlace(wszLog, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, NULL,
                                  OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    wchar_t wszWho[SID_TEXT_CHARS], wszWhy[PREPARE_LINE_SIZE];
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
        swprintf(wszWhy, PREPARE_LINE_SIZE,
                 L"it is %hs whose access list shuts out even an administrator", szWhat);
        return SetAside(INVALID_HANDLE_VALUE, wszLog, pServiceSid, szWhat, wszWhy, wszSetAside,
                        cchSetAside);
    }
    LogOutcome outcome = LogFailed;
    PSECURITY_DESCRIPTOR pFileSd = NULL;
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwError = ERROR_SUCCESS;
    HANDLE hOnly = INVALID_HANDLE_VALUE;
    const char *szWhat = "a file";
    wszWhy[0] = L'\0';
    if (!GetFileInformationByHandle(hFile, &info)) {
        SayFailed("GetFileInformationByHandle", wszLog, GetLastError());
    } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        // A link's owner and list would land on whatever it points to; a
        // folder is no log. What it points to is never touched.
        szWhat = KindOf(info.dwFileAttributes);
        swprintf(wszWhy, PREPARE_LINE_SIZE, L"it is %hs, not a file", szWhat);
    } else if (info.nNumberOfLinks > 1) {
        // Its other names lead to it from anywhere on the volume.
        szWhat = "a file of more than one name";
        wcscpy(wszWhy, L"it has more than one name (a hard link), not a file of its own");
    } else if ((dwError = ReadFileSecurityInfo(hFile,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &pOwner, &pDacl, &pFileSd)) != ERROR_SUCCESS) {
        SayFailed("GetSecurityInfo", wszLog, dwError);
    } else if (!IsTrustedOwner(pOwner)) {
        // Never adopted, never deleted.
        swprintf(wszWhy, PREPARE_LINE_SIZE,
                 L"its owner, %ls, is neither Administrators nor SYSTEM", SidText(pOwner, wszWho));
    } else if (GrantsOthers(pDacl, pServiceSid, wszWho)) {
        swprintf(wszWhy, PREPARE_LINE_SIZE,
                 L"its access list lets %ls in, who may hold it open whatever the list becomes",
                 wszWho);
    } else {
        // Nobody holds it now: with no sharing, any other open of its data or
        // for delete is a sharing violation. Write is not asked, as a
        // read-only log refuses it until this very handle clears that; the
        // handle is kept while its owner and list are set, so nobody can
        // open it in between.
        hOnly = ReOpenFile(hFile,
                           FILE_READ_DATA | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                               FILE_WRITE_ATTRIBUTES,
                           0, FILE_FLAG_OPEN_REPARSE_POINT);
        dwError = GetLastError();
        if (hOnly != INVALID_HANDLE_VALUE)
            outcome = Keep(hOnly, wszLog, pSd, info.dwFileAttributes, pOwner);
        else if (dwError == ERROR_SHARING_VIOLATION)
            wcscpy(wszWhy, L"another program holds it open, and would read every later line");
        else
            SayFailed("ReOpenFile", wszLog, dwError);
    }
    if (hOnly != INVALID_HANDLE_VALUE)
        CloseHandle(hOnly);
    if (wszWhy[0] != L'\0')
        outcome = SetAside(hFile, wszLog, pServiceSid, szWhat, wszWhy, wszSetAside, cchSetAside);
    LocalFree(pFileSd);
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
        HANDLE hFile = CreateLogPlace(wszLog, FILE_READ_ATTRIBUTES, 0, &sa, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (hFile != INVALID_HANDLE_VALUE) {
            CloseHandle(hFile);
            Say(EVENTLOG_INFORMATION_TYPE, MSG_LOG_MADE,
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
        if (judged == LogFailed || judged == LogHeld)
            break;
        if (iRound + 1 == MAKE_ROUNDS && outcome == LogFailed)
            Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
                "%ls was taken again each time it was free: find who makes it, then install "
                "again",
                wszLog);
    }
    LocalFree(pSd);
    return outcome;
}
