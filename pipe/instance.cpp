#include "instance.h"

#include <sddl.h>

#include "../log/log.h"

const char *PipeName = PIPE_NAME;
HANDLE PipeHandle = INVALID_HANDLE_VALUE;

int CreatePipeInstance(void)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(PIPE_SDDL, SDDL_REVISION_1,
                                                              &pSd, NULL)) {
        DWORD dwError = GetLastError();
        PipeHandle = INVALID_HANDLE_VALUE;
        LogCallError("ConvertStringSecurityDescriptorToSecurityDescriptor", dwError);
        SetLastError(dwError);
        return -1;
    }
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = pSd;
    sa.bInheritHandle = FALSE;

    // First instance only: if someone else already holds the name, fail rather
    // than share it with them.
    PipeHandle = CreateNamedPipeA(PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                  PIPE_UNLIMITED_INSTANCES, (DWORD)PIPE_BUFFER_SIZE,
                                  (DWORD)PIPE_BUFFER_SIZE, PIPE_DEFAULT_TIMEOUT_MS, &sa);
    DWORD dwError = GetLastError();
    // The pipe keeps its own copy of the descriptor.
    LocalFree(pSd);

    if (PipeHandle == INVALID_HANDLE_VALUE) {
        LogCallError("CreateNamedPipe", dwError);
        SetLastError(dwError);
        return -1;
    }
    WriteLog("Waiting for connect...\n");
    return 0;
}

void ClosePipeInstance(void)
{
    HANDLE hPipe = PipeHandle;
    // Forget the handle first: its number may be reused by the next open.
    PipeHandle = INVALID_HANDLE_VALUE;
    if (hPipe != INVALID_HANDLE_VALUE)
        CloseHandle(hPipe);
    WriteLog("Named Pipe closed!");
}
