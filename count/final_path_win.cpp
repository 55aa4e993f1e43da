// The real call. A test that models what Windows resolves defines
// FinalPathOfHandle in an object file, so this member of the library is then
// never linked in.
#include "file_win.h"

DWORD FinalPathOfHandle(HANDLE hFile, wchar_t *wszPath, DWORD cchPath)
{
    return GetFinalPathNameByHandleW(hFile, wszPath, cchPath, VOLUME_NAME_NT);
}
