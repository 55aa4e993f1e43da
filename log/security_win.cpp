// The log's access list, and the service's own SID it names: known to us by
// the rule Windows makes it by, whether or not this machine's service manager
// can be asked (Wine's cannot).
#include "log.h"

#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <wincrypt.h>

// Bytes of a SHA-1 value: the five sub-authorities of a service's SID.
static const DWORD SHA1_BYTES = 20;
// A protected list with no inherited entries (C:\ lets every user read):
// Administrators and SYSTEM full, the service only what its writer opens
// with and what every open asks for besides (read attributes, synchronize).
// By SID: names change with the language.
#define LOG_DACL_FORMAT L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x%lx;;;%ls)"
// Owned by Administrators where the preparation makes or keeps it.
static const wchar_t LOG_OWNER_SDDL[] = L"O:BA";
static const size_t LOG_SDDL_CHARS = 320;

// S-1-5-80 and the SHA-1 of the name in upper case (UTF-16, little-endian),
// as five little-endian words.
BOOL ServiceSid(const wchar_t *wszService, PSID *ppSid)
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

BOOL MakeLogSecurity(PSID pServiceSid, BOOL fOwner, PSECURITY_DESCRIPTOR *ppSd)
{
    wchar_t wszSddl[LOG_SDDL_CHARS];
    LPWSTR wszService = NULL;
    if (!ConvertSidToStringSidW(pServiceSid, &wszService))
        return FALSE;
    int cch = swprintf(wszSddl, LOG_SDDL_CHARS, L"%ls" LOG_DACL_FORMAT,
                       fOwner ? LOG_OWNER_SDDL : L"",
                       (unsigned long)(LOG_WRITE_ACCESS | FILE_READ_ATTRIBUTES | SYNCHRONIZE),
                       wszService);
    LocalFree(wszService);
    if (cch <= 0 || (size_t)cch >= LOG_SDDL_CHARS) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(wszSddl, SDDL_REVISION_1, ppSd,
                                                                NULL);
}
