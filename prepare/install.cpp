// The install step: each part in turn, the first that fails ending it, so
// that no service starts without its SID, its restarts or its own log.
#include "prepare.h"

#include "../identity/identity.h"
#include "recovery.h"

int PrepareInstall(const wchar_t *wszLog)
{
    wchar_t wszSetAside[MAX_PATH];
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
