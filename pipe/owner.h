// Who the service is to its pipe: the SID that gets full access and the owner
// that a name it made carries, both read from the process token, and the
// pipe's security descriptor made from them.
#pragma once

#include <windows.h>

// Read and write for everyone, local, remote and anonymous alike, but neither
// creating instances nor changing the pipe's permissions or owner: a null DACL
// would let any user answer our clients or lock everyone out. The service
// itself is added at run time with full access, by its own SID where its
// token holds one, otherwise by its account: a further instance of an
// existing pipe needs FILE_CREATE_PIPE_INSTANCE, which LocalService, say,
// would otherwise lack.
static const char PIPE_SDDL[] =
    "D:(A;;0x12019b;;;WD)(A;;0x12019b;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";
// The entry appended for the service's own account, less its SID.
#define PIPE_OWN_ENTRY_FORMAT "(A;;FA;;;%s)"
// The longest SID as a string: "S-1-", an authority of up to 15 characters and
// 15 sub-authorities of a dash and up to 10 digits each.
static const size_t SID_STRING_MAX_CHARS = 4 + 15 + 15 * 11;
// With the owner ("O:" and a SID) where one is named.
static const size_t PIPE_SDDL_SIZE = sizeof "O:" - 1 + SID_STRING_MAX_CHARS + sizeof PIPE_SDDL +
                                     sizeof PIPE_OWN_ENTRY_FORMAT - sizeof "%s" +
                                     SID_STRING_MAX_CHARS;

// What the token says we are. Where it holds a service SID (a service given a
// SID of its own; one process, one service), both are it, so that no other
// service of the same account may add instances of our pipe, nor pass a name
// it made off as ours; it is named as owner where the token lets it own what
// it creates. Otherwise the token's user, and its default owner.
struct PipeSelf {
    // GetTokenInformation's answers: a structure followed by the SIDs it
    // points to, so each buffer is aligned for its structure. Room for a
    // service token's groups; a token with more is taken as one without a
    // service SID.
    union {
        TOKEN_GROUPS groups;
        BYTE rgb[8192];
    } groups;
    union {
        TOKEN_USER user;
        BYTE rgb[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    union {
        TOKEN_OWNER owner;
        BYTE rgb[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    } owner;
    PSID pFullAccess;
    PSID pOwner; // pFullAccess itself where it is named in the descriptor
};

// Fills *pSelf from this process's token. On failure *pszFailedCall names the
// call and GetLastError() its error.
BOOL LearnPipeSelf(PipeSelf *pSelf, const char **pszFailedCall);

// PIPE_SDDL with our owner, where it is named, and our full-access entry, into
// szSddl (cchSddl characters; PIPE_SDDL_SIZE holds every one).
BOOL BuildPipeSddl(const PipeSelf *pSelf, char *szSddl, size_t cchSddl,
                   const char **pszFailedCall);

// GetTokenInformation behind a seam (pipe/token_win.cpp), where the tests'
// model of Windows puts in what Wine's tokens lack.
BOOL QueryProcessToken(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, LPVOID pvInfo,
                       DWORD cbInfo, DWORD *pcbNeeded);

// Sets *pfOurs to whether hPipe's owner is the one we give what we create.
// Returns GetSecurityInfo's error, ERROR_SUCCESS when the owner was read.
DWORD CompareOwner(const PipeSelf *pSelf, HANDLE hPipe, BOOL *pfOurs);
