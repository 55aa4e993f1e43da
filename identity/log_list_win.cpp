// The log's access list: the one the service's writer makes it with, the one
// the preparation makes or keeps it with, and the one an existing log is
// judged against.
#include "identity.h"

#include <sddl.h>
#include <stdio.h>
#include <wchar.h>

// A protected list with no inherited entries (C:\ lets every user read):
// Administrators and SYSTEM full, the service only what its writer opens
// with and what every open asks for besides (read attributes, synchronize).
// By SID: names change with the language.
static const wchar_t LOG_DACL[] = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
#define LOG_SERVICE_ENTRY_FORMAT L"(A;;0x%lx;;;%ls)"
// Owned by Administrators where the preparation makes or keeps it.
static const wchar_t LOG_OWNER_SDDL[] = L"O:BA";
static const size_t LOG_SDDL_CHARS = 320;

BOOL MakeLogSecurity(PSID pServiceSid, BOOL fOwner, PSECURITY_DESCRIPTOR *ppSd)
{
    wchar_t wszSddl[LOG_SDDL_CHARS];
    LPWSTR wszService = NULL;
    if (pServiceSid != NULL && !ConvertSidToStringSidW(pServiceSid, &wszService))
        return FALSE;
    int cch = swprintf(wszSddl, LOG_SDDL_CHARS, L"%ls%ls", fOwner ? LOG_OWNER_SDDL : L"",
                       LOG_DACL);
    if (cch > 0 && wszService != NULL)
        cch += swprintf(wszSddl + cch, LOG_SDDL_CHARS - (size_t)cch, LOG_SERVICE_ENTRY_FORMAT,
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

BOOL LogListNames(PSID pServiceSid, PSID pSid)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    PACL pDacl = NULL;
    BOOL fPresent = FALSE, fDefaulted = FALSE, fNamed = FALSE;
    if (MakeLogSecurity(pServiceSid, FALSE, &pSd) &&
        GetSecurityDescriptorDacl(pSd, &fPresent, &pDacl, &fDefaulted) && pDacl != NULL) {
        for (DWORD i = 0; i < pDacl->AceCount && !fNamed; ++i) {
            ACCESS_ALLOWED_ACE *pAce = NULL;
            fNamed = GetAce(pDacl, i, (LPVOID *)&pAce) &&
                     pAce->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                     EqualSid(&pAce->SidStart, pSid);
        }
    }
    LocalFree(pSd);
    return fNamed;
}
