#include "service.h"

#include "../log/log.h"

// Where the service makes its log (the first line may), it makes it with the
// log's own list, which names the service's SID: whatever account it runs as,
// no log it makes lets anyone else read it.
static void GiveLogItsList(void)
{
    PSID pServiceSid = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (OurServiceSid(&pServiceSid) && MakeLogSecurity(pServiceSid, FALSE, &pSd))
        SetLogSecurity(pSd);
    if (pServiceSid != NULL)
        FreeSid(pServiceSid);
}

void BeginServiceLog(void)
{
    GiveLogItsList();
    WriteLog("Quorvel service entry point");
}
