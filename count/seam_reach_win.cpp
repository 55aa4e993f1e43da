// A seam: the real questions. A test that models what Windows resolves
// defines AskHandleReach in an object file, so this member of the library is
// then never linked in.
#include "seams_win.h"

void AskHandleReach(HANDLE hFile, void *pvBuffer, DWORD cbBuffer, HandleReach *pReach)
{
    QueryHandleReach(hFile, pvBuffer, cbBuffer, pReach);
}
