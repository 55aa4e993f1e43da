// What the service manager does when the service fails: restart it, after
// every failure, a failed start reported with an exit code included.
#pragma once

#include <windows.h>

// How long (ms) after a failure the service is started again.
static const DWORD RECOVERY_RESTART_DELAY_MS = 5000;
// After how long (s) without a failure the manager counts failures afresh.
static const DWORD RECOVERY_RESET_PERIOD_S = 24 * 60 * 60;

// Gives the registered service its failure actions and the flag that runs
// them also when it stops with an exit code of its own. FALSE with the
// failed call said.
BOOL SetRecovery(const wchar_t *wszService);
