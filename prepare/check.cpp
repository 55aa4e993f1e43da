// The check an administrator or a monitor runs against an installed service:
// read only, nothing changed and nothing reported to the event log, one line
// per finding.
#include "prepare.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "../identity/identity.h"
#include "../log/log.h"
#include "../pipe/protocol.h"
#include "log_rules.h"
#include "recovery.h"
#include "seams_win.h"

// The account the service runs under, as its registration names it.
static const wchar_t SERVICE_ACCOUNT[] = L"NT AUTHORITY\\LocalService";
// Where Windows lists the pipes anonymous remote users may open.
static const wchar_t NULL_SESSION_KEY[] =
    L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
static const wchar_t NULL_SESSION_VALUE[] = L"NullSessionPipes";
// Room for a service's settings as QueryServiceConfig(2)W gives them.
static const DWORD SETTING_BYTES = 8192;

// One finding, on standard output only.
static int Finding(const char *szFormat, ...)
{
    char szLine[PREPARE_LINE_SIZE];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szLine, sizeof szLine, szFormat, args);
    va_end(args);
    printf("%s: check: %s\n", PREPARE_PROGRAM, szLine);
    return 1;
}

// The settings the service manager keeps: account, start, SID type, recovery.
static int CheckRegistration(SC_HANDLE hService, BYTE *pb)
{
    int nFindings = 0;
    DWORD cb = 0;
    QUERY_SERVICE_CONFIGW *pConfig = (QUERY_SERVICE_CONFIGW *)pb;
    if (!QueryServiceConfigW(hService, pConfig, SETTING_BYTES, &cb))
        return Finding("its settings cannot be read: error %lu", (unsigned long)GetLastError());
    if (pConfig->lpServiceStartName == NULL ||
        _wcsicmp(pConfig->lpServiceStartName, SERVICE_ACCOUNT) != 0)
        nFindings += Finding("it runs as %ls, not %ls",
                             pConfig->lpServiceStartName ? pConfig->lpServiceStartName : L"?",
                             SERVICE_ACCOUNT);
    if (pConfig->dwStartType != SERVICE_AUTO_START)
        nFindings += Finding("it does not start with Windows (start type %lu)",
                             (unsigned long)pConfig->dwStartType);

    if (!QueryServiceSetting(hService, SERVICE_CONFIG_SERVICE_SID_INFO, pb, SETTING_BYTES, &cb))
        nFindings += Finding("its SID type cannot be read (error %lu): it may have no SID of "
                             "its own",
                             (unsigned long)GetLastError());
    else if (((SERVICE_SID_INFO *)pb)->dwServiceSidType != SERVICE_OWN_SID_TYPE)
        nFindings += Finding("it has no SID of its own (SID type %lu)",
                             (unsigned long)((SERVICE_SID_INFO *)pb)->dwServiceSidType);

    SERVICE_FAILURE_ACTIONSW *pActions = (SERVICE_FAILURE_ACTIONSW *)pb;
    BOOL fRestarts = QueryServiceSetting(hService, SERVICE_CONFIG_FAILURE_ACTIONS, pb,
                                         SETTING_BYTES, &cb) &&
                     pActions->cActions > 0;
    for (DWORD i = 0; fRestarts && i < pActions->cActions; ++i)
        fRestarts = pActions->lpsaActions[i].Type == SC_ACTION_RESTART;
    if (!fRestarts)
        nFindings += Finding("it is not restarted after every failure");
    if (!QueryServiceSetting(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, pb, SETTING_BYTES,
                             &cb))
        nFindings += Finding("its failure actions flag cannot be read (error %lu): a failed "
                             "start may not be restarted",
                             (unsigned long)GetLastError());
    else if (!((SERVICE_FAILURE_ACTIONS_FLAG *)pb)->fFailureActionsOnNonCrashFailures)
        nFindings += Finding("a failed start is not restarted: the failure actions flag is not "
                             "set");
    return nFindings;
}

// The log: a file of one name, owned by Administrators, whose protected list
// lets in only whom the log's own list names.
static int CheckLog(const wchar_t *wszLog, PSID pServiceSid)
{
    HANDLE hFile = CreateLogPlace(wszLog, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return Finding("%ls cannot be opened to read its list (error %lu)", wszLog,
                       (unsigned long)GetLastError());
    int nFindings = 0;
    BY_HANDLE_FILE_INFORMATION info;
    PSECURITY_DESCRIPTOR pSd = NULL;
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0, dwError = ERROR_SUCCESS;
    wchar_t wszWho[SID_TEXT_CHARS];
    if (!GetFileInformationByHandle(hFile, &info))
        nFindings += Finding("%ls cannot be read: error %lu", wszLog,
                             (unsigned long)GetLastError());
    else if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        nFindings += Finding("%ls is %s, not a file", wszLog, KindOf(info.dwFileAttributes));
    else if (info.nNumberOfLinks > 1)
        nFindings += Finding("%ls has more than one name", wszLog);
    else if ((dwError = ReadFileSecurityInfo(hFile,
                                             OWNER_SECURITY_INFORMATION |
                                                 DACL_SECURITY_INFORMATION,
                                             &pOwner, &pDacl, &pSd)) != ERROR_SUCCESS)
        nFindings += Finding("%ls's list cannot be read: error %lu", wszLog,
                             (unsigned long)dwError);
    else {
        if (!IsTrustedOwner(pOwner))
            nFindings += Finding("%ls is owned by %ls, not Administrators", wszLog,
                                 SidText(pOwner, wszWho));
        if (GrantsOthers(pDacl, pServiceSid, wszWho))
            nFindings += Finding("%ls lets %ls in", wszLog, wszWho);
        if (!GetSecurityDescriptorControl(pSd, &control, &dwRevision) ||
            !(control & SE_DACL_PROTECTED))
            nFindings += Finding("%ls's list is not protected: it takes what C:\\ hands down",
                                 wszLog);
    }
    LocalFree(pSd);
    CloseHandle(hFile);
    return nFindings;
}

// Whether anonymous remote users may open the pipe: its leaf among the
// pipes the server service lets null sessions open.
static int CheckNullSessionPipes(void)
{
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NULL_SESSION_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &hKey) != ERROR_SUCCESS)
        return 0;
    // A list of names, each ended by a NUL, the list by another; room for
    // the two NULs past what the value holds.
    static wchar_t wszPipes[SETTING_BYTES / sizeof(wchar_t) + 2];
    DWORD cb = SETTING_BYTES, dwType = 0;
    LONG lError = RegQueryValueExW(hKey, NULL_SESSION_VALUE, NULL, &dwType, (BYTE *)wszPipes,
                                   &cb);
    RegCloseKey(hKey);
    if (lError != ERROR_SUCCESS || dwType != REG_MULTI_SZ)
        return 0;
    wszPipes[cb / sizeof(wchar_t)] = wszPipes[cb / sizeof(wchar_t) + 1] = L'\0';
    wchar_t wszLeaf[64];
    swprintf(wszLeaf, 64, L"%hs", QUORVEL_PIPE_LEAF);
    for (const wchar_t *pwsz = wszPipes; *pwsz != L'\0'; pwsz += wcslen(pwsz) + 1)
        if (_wcsicmp(pwsz, wszLeaf) == 0)
            return Finding("anonymous remote users may open %ls: it is listed in "
                           "HKLM\\%ls\\%ls",
                           wszLeaf, NULL_SESSION_KEY, NULL_SESSION_VALUE);
    return 0;
}

int CheckInstall(const wchar_t *wszLog)
{
    int nFindings = 0;
    // Aligned for the structures the manager writes into it.
    alignas(16) static BYTE rgbSetting[SETTING_BYTES];
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        hManager != NULL ? OpenServiceW(hManager, SERVICE_NAME_W, SERVICE_QUERY_CONFIG) : NULL;
    if (hService == NULL)
        nFindings += Finding("\"%ls\" is not registered, or cannot be read: error %lu",
                             SERVICE_NAME_W, (unsigned long)GetLastError());
    else
        nFindings += CheckRegistration(hService, rgbSetting);
    if (hService != NULL)
        CloseServiceHandle(hService);
    if (hManager != NULL)
        CloseServiceHandle(hManager);

    PSID pServiceSid = NULL;
    if (!OurServiceSid(&pServiceSid))
        nFindings += Finding("the service's SID cannot be derived: error %lu",
                             (unsigned long)GetLastError());
    else
        nFindings += CheckLog(wszLog, pServiceSid);
    FreeSid(pServiceSid);
    nFindings += CheckNullSessionPipes();
    if (nFindings == 0)
        printf("%s: check: all hold\n", PREPARE_PROGRAM);
    fflush(stdout);
    return nFindings;
}
