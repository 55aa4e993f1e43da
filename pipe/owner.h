// Who the service is to its pipe: the SID that gets full access and the owner
// that a name it made carries, both read from the process token.
#pragma once

#include <windows.h>

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

// Sets *pfOurs to whether hPipe's owner is the one we give what we create.
// Returns GetSecurityInfo's error, ERROR_SUCCESS when the owner was read.
DWORD CompareOwner(const PipeSelf *pSelf, HANDLE hPipe, BOOL *pfOurs);
