// quorvel-prepare: gives the registered Quorvel service a SID of its own and
// its restart after every failure, and makes its log, or judges the file that
// has the log's name. The install scripts and the package run it, as an
// administrator or SYSTEM, between registering the service and starting it;
// an administrator runs it to rotate the log. No arguments. Exit code 0 when
// the service and its log are ready, 1 otherwise, 2 for an argument; each
// outcome is a line on standard output and in the Application event log.
// With --check alone it only reads, and its exit code counts its findings.
#include <windows.h>

#include <string.h>

#include "../log/log.h"
#include "prepare.h"

int main(int argc, char **argv)
{
    wchar_t wszLog[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, LOG_PATH, -1, wszLog, MAX_PATH) == 0)
        return 1;
    // The one argument: a read-only check; its exit code counts what it found.
    if (argc == 2 && strcmp(argv[1], CHECK_OPTION) == 0)
        return CheckInstall(wszLog);
    if (argc > 1) {
        // Nothing it does is chosen by its caller: an argument is a mistake.
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
            "takes no argument but %s, not \"%s\": run it with none to prepare",
            CHECK_OPTION, argv[1]);
        return 2;
    }
    return PrepareInstall(wszLog);
}
