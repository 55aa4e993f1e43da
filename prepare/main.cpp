// quorvel-prepare: gives the registered Quorvel service a SID of its own and
// its restart after every failure, and makes its log, or judges the file that
// has the log's name. The install scripts and the package run it, as an
// administrator or SYSTEM, between registering the service and starting it;
// an administrator runs it to rotate the log. No arguments. Exit code 0 when
// the service and its log are ready, 1 otherwise, 2 for an argument; each
// outcome is a line on standard output and in the Application event log.
#include <windows.h>

#include "../identity/identity.h"
#include "../log/log.h"
#include "prepare.h"
#include "recovery.h"

int main(int argc, char **argv)
{
    if (argc > 1) {
        // Nothing it does is chosen by its caller: an argument is a mistake.
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
            "takes no arguments, not \"%s\": run it with none", argv[1]);
        return 2;
    }
    wchar_t wszLog[MAX_PATH], wszSetAside[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, LOG_PATH, -1, wszLog, MAX_PATH) == 0)
        return 1;
    PSID pServiceSid = NULL;
    if (!GiveServiceItsSid(SERVICE_NAME_W) || !SetRecovery(SERVICE_NAME_W))
        return 1;
    if (!OurServiceSid(&pServiceSid)) {
        Say(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
            "cannot derive the service's SID from its name: error %lu",
            (unsigned long)GetLastError());
        return 1;
    }
    LogOutcome outcome = PrepareLogFile(wszLog, pServiceSid, wszSetAside, MAX_PATH);
    FreeSid(pServiceSid);
    return (outcome == LogHeld || outcome == LogFailed) ? 1 : 0;
}
