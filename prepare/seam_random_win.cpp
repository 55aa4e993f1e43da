// The real call, which a test's model replaces (seams_win.h).
#include "seams_win.h"

#include <wincrypt.h>

BOOL GenerateRandom(HCRYPTPROV hProvider, DWORD cb, BYTE *pb)
{
    return CryptGenRandom(hProvider, cb, pb);
}
