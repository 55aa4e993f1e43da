// A seam: the real call. A test that holds the flush back defines
// FlushPipeEnd in an object file, so this member of the library is then
// never linked in.
#include "seams_win.h"

BOOL FlushPipeEnd(HANDLE hPipe)
{
    return FlushFileBuffers(hPipe);
}
