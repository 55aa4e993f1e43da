// The seam of the service: the one call whose answer a test's model of
// Windows gives, alone in a file of its own (seam_status_win.cpp) that the
// model replaces at link time. It takes the real call's arguments and holds
// nothing of ours; a model calls the platform in turn.
#pragma once

#include <windows.h>

// SetServiceStatus, for every report: Wine's manager shows no pending state
// while a control runs, so only a model sees what a stop promised it.
BOOL SendServiceStatus(SERVICE_STATUS_HANDLE hStatus, LPSERVICE_STATUS pStatus);
