// The service's own SID: given to it by its service manager, and known to us
// by the rule Windows makes it by, whether or not this machine's service
// manager can be asked (Wine's cannot).
#include "identity.h"

#include <string.h>
#include <wchar.h>
#include <wincrypt.h>

// Bytes of a SHA-1 value: the five sub-authorities of a service's SID.
static const DWORD SHA1_BYTES = 20;

// S-1-5-80 and the SHA-1 of the name in upper case (UTF-16, little-endian),
// as five little-endian words.
BOOL ServiceSidOf(const wchar_t *wszService, PSID *ppSid)
{
    wchar_t wszUpper[256];
    size_t cch = wcslen(wszService);
    if (cch >= sizeof wszUpper / sizeof wszUpper[0]) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
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
        SetLastError(dwError);
        return FALSE;
    }
    DWORD rgdw[SHA1_BYTES / 4];
    for (DWORD i = 0; i < SHA1_BYTES / 4; ++i)
        rgdw[i] = (DWORD)rgbHash[4 * i] | (DWORD)rgbHash[4 * i + 1] << 8 |
                  (DWORD)rgbHash[4 * i + 2] << 16 | (DWORD)rgbHash[4 * i + 3] << 24;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    return AllocateAndInitializeSid(&ntAuthority, SECURITY_SERVICE_ID_RID_COUNT,
                                    SECURITY_SERVICE_ID_BASE_RID, rgdw[0], rgdw[1], rgdw[2],
                                    rgdw[3], rgdw[4], 0, 0, ppSid);
}

BOOL OurServiceSid(PSID *ppSid)
{
    return ServiceSidOf(SERVICE_NAME_W, ppSid);
}

BOOL IsServiceSid(PSID pSid)
{
    static const SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    return IsValidSid(pSid) && *GetSidSubAuthorityCount(pSid) == SECURITY_SERVICE_ID_RID_COUNT &&
           *GetSidSubAuthority(pSid, 0) == SECURITY_SERVICE_ID_BASE_RID &&
           memcmp(GetSidIdentifierAuthority(pSid), &ntAuthority, sizeof ntAuthority) == 0;
}
