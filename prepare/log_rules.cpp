// What the log may be: the rules an existing log is judged by, which the
// preparation keeps it by and the check reports on.
#include "log_rules.h"

#include <sddl.h>
#include <wchar.h>

#include "../identity/identity.h"

// The SID as text into wsz (SID_TEXT_CHARS); "" where it cannot be had.
const wchar_t *SidText(PSID pSid, wchar_t *wsz)
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
BOOL IsTrustedOwner(PSID pSid)
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
BOOL GrantsOthers(PACL pDacl, PSID pServiceSid, wchar_t *wszWho)
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
const char *KindOf(DWORD dwAttributes)
{
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link or junction";
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "a folder" : "a file";
}

