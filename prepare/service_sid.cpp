// The service's own SID: given to it by its service manager, and known to us
// by the rule Windows makes it by.
#include "prepare.h"

#include <stdio.h>
#include <string.h>
#include <wincrypt.h>

// Older headers (Wine's among them) lack it.
#ifndef SERVICE_SID_TYPE_UNRESTRICTED
#define SERVICE_SID_TYPE_UNRESTRICTED 0x00000001
#endif

// Bytes of a SHA-1 value: the five sub-authorities of a service's SID.
static const DWORD SHA1_BYTES = 20;

BOOL GiveServiceItsSid(const wchar_t *wszService)
{
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        hManager != NULL ? OpenServiceW(hManager, wszService, SERVICE_CHANGE_CONFIG) : NULL;
    SERVICE_SID_INFO info = {SERVICE_SID_TYPE_UNRESTRICTED};
    BOOL fDone = hService != NULL &&
                 ChangeServiceConfig2W(hService, SERVICE_CONFIG_SERVICE_SID_INFO, &info);
    DWORD dwError = GetLastError();
    if (fDone)
        printf("%s: gave \"%ls\" a SID of its own\n", PREPARE_PROGRAM, wszService);
    // 124: Wine's service manager has no SID types, which Windows has had
    // since Vista; the service then runs as its account alone.
    else if (hService != NULL && dwError == ERROR_INVALID_LEVEL)
        printf("%s: the service manager gives services no SID of their own (error %lu): \"%ls\" "
               "runs as its account alone\n",
               PREPARE_PROGRAM, (unsigned long)dwError, wszService);
    else
        printf("%s: %s failed for \"%ls\": error %lu\n", PREPARE_PROGRAM,
               hManager == NULL   ? "OpenSCManager"
               : hService == NULL ? "OpenService"
                                  : "ChangeServiceConfig2",
               wszService, (unsigned long)dwError);
    if (hService != NULL)
        CloseServiceHandle(hService);
    if (hManager != NULL)
        CloseServiceHandle(hManager);
    return fDone || (hService != NULL && dwError == ERROR_INVALID_LEVEL);
}

// S-1-5-80 and the SHA-1 of the name in upper case (UTF-16, little-endian),
// as five little-endian words: the SID the service manager gives the service,
// whether or not it can be looked up here (Wine's cannot).
BOOL MakeServiceSid(const wchar_t *wszService, PSID *ppSid)
{
    wchar_t wszUpper[256];
    size_t cch = wcslen(wszService);
    if (cch >= sizeof wszUpper / sizeof wszUpper[0])
        return FALSE;
    memcpy(wszUpper, wszService, (cch + 1) * sizeof(wchar_t));
    CharUpperBuffW(wszUpper, (DWORD)cch);

    HCRYPTPROV hProvider = 0;
    HCRYPTHASH hHash = 0;
    BYTE rgbHash[SHA1_BYTES];
    DWORD cbHash = sizeof rgbHash;
    BOOL fHashed =
        CryptAcquireContextW(&hProvider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(hProvider, CALG_SHA1, 0, 0, &hHash) &&
        CryptHashData(hHash, (const BYTE *)wszUpper, (DWORD)(cch * sizeof(wchar_t)), 0) &&
        CryptGetHashParam(hHash, HP_HASHVAL, rgbHash, &cbHash, 0) && cbHash == SHA1_BYTES;
    DWORD dwError = GetLastError();
    if (hHash != 0)
        CryptDestroyHash(hHash);
    if (hProvider != 0)
        CryptReleaseContext(hProvider, 0);
    if (!fHashed) {
        printf("%s: cannot hash the service's name for its SID: error %lu\n", PREPARE_PROGRAM,
               (unsigned long)dwError);
        return FALSE;
    }
    DWORD rgdw[SHA1_BYTES / 4];
    for (DWORD i = 0; i < SHA1_BYTES / 4; ++i)
        rgdw[i] = (DWORD)rgbHash[4 * i] | (DWORD)rgbHash[4 * i + 1] << 8 |
                  (DWORD)rgbHash[4 * i + 2] << 16 | (DWORD)rgbHash[4 * i + 3] << 24;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    if (!AllocateAndInitializeSid(&ntAuthority, SECURITY_SERVICE_ID_RID_COUNT,
                                  SECURITY_SERVICE_ID_BASE_RID, rgdw[0], rgdw[1], rgdw[2],
                                  rgdw[3], rgdw[4], 0, 0, ppSid)) {
        printf("%s: AllocateAndInitializeSid failed: error %lu\n", PREPARE_PROGRAM,
               (unsigned long)GetLastError());
        return FALSE;
    }
    return TRUE;
}
