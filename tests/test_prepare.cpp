// The preparation program on the real log file under Wine, with the service
// registered and another program (this test) holding what has the log's
// name; and, in this process, its library with models of what Wine cannot
// show.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "identity/identity.h"
#include "log/log.h"
#include "prepare/prepare.h"
#include "prepare/recovery.h"
#include "prepare/seams_win.h"
#include "fixtures.h"

// Models, each of a rule Windows keeps and Wine does not show.
// The rights an open of the log's existing place is refused, as by a list
// that denies them to everyone (Windows still grants an administrator delete
// through C:\'s list); the name freed just before it is judged; a folder made
// at the name before each of that many tries to make the log.
static DWORD ModelDenied = 0;
static bool ModelGoneOnce = false;
static int ModelRetaken = 0;
// The owner and list a file reads back, and those set on each file by its
// index: Wine reads back its user and the file's mode, whatever was set.
static const char *ModelSd = NULL;
static std::map<ULONGLONG, std::string> ModelSet;
// A holder the Restart Manager names (Wine names none); the random parts of
// set-aside names, in turn.
static const wchar_t *ModelHolder = NULL;
static std::vector<DWORD> ModelRandom;
// The SID type and failure actions flag asked for, and what the manager
// answers (a second action of none where the flag is not set); the SID type
// refused with ModelSidRefused. Wine's manager keeps neither.
static DWORD ModelSidType = 0, ModelSidRefused = 0;
static BOOL ModelRestartsAfterAnyFailure = TRUE;
// What was reported to the event log ("type ID line"), and under which
// source (Wine keeps none).
static std::vector<std::string> ModelReported;
static std::string ModelSource;

HANDLE CreateLogPlace(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                      DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    if (dwDisposition == CREATE_NEW && ModelRetaken > 0 && ModelRetaken--)
        CreateDirectoryW(wszName, NULL);
    if (dwDisposition == OPEN_EXISTING && ModelGoneOnce) {
        ModelGoneOnce = false;
        DeleteFileW(wszName);
    }
    if (dwDisposition == OPEN_EXISTING && (dwAccess & ModelDenied)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wszName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
}

DWORD ReadFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID *ppOwner, PACL *ppDacl,
                      PSECURITY_DESCRIPTOR *ppSd)
{
    if (ModelSd == NULL)
        return GetSecurityInfo(hFile, SE_FILE_OBJECT, si, ppOwner, NULL, ppDacl, NULL, ppSd);
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(ModelSd, SDDL_REVISION_1, ppSd,
                                                              NULL) ||
        !GetSecurityDescriptorOwner(*ppSd, ppOwner, &fDefaulted) ||
        !GetSecurityDescriptorDacl(*ppSd, &fPresent, ppDacl, &fDefaulted))
        return GetLastError();
    return ERROR_SUCCESS;
}

// The owner and list as text.
static std::string SddlOf(PSECURITY_DESCRIPTOR pSd)
{
    LPSTR szSddl = NULL;
    std::string sddl;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
            pSd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &szSddl,
            NULL))
        sddl = szSddl;
    LocalFree(szSddl);
    return sddl;
}

static ULONGLONG FileIndexOf(HANDLE hFile)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(hFile, &info);
    return (ULONGLONG)info.nFileIndexHigh << 32 | info.nFileIndexLow;
}

DWORD WriteFileSecurityInfo(HANDLE hFile, SECURITY_INFORMATION si, PSID pOwner, PACL pDacl)
{
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&sd, (si & OWNER_SECURITY_INFORMATION) ? pOwner : NULL, FALSE);
    SetSecurityDescriptorDacl(&sd, (si & DACL_SECURITY_INFORMATION) != 0, pDacl, FALSE);
    if (si & PROTECTED_DACL_SECURITY_INFORMATION)
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    ModelSet[FileIndexOf(hFile)] = SddlOf(&sd);
    return SetSecurityInfo(hFile, SE_FILE_OBJECT, si, pOwner, NULL, pDacl, NULL);
}

DWORD ListFileHolders(DWORD dwSession, UINT *pnNeeded, UINT *pnInfo, RM_PROCESS_INFO *rgInfo,
                      DWORD *pdwReasons)
{
    UINT nRoom = *pnInfo;
    DWORD dwError = RmGetList(dwSession, pnNeeded, pnInfo, rgInfo, pdwReasons);
    if (ModelHolder != NULL && dwError == ERROR_SUCCESS && nRoom >= 1) {
        memset(&rgInfo[0], 0, sizeof rgInfo[0]);
        wcscpy(rgInfo[0].strAppName, ModelHolder);
        rgInfo[0].Process.dwProcessId = 4242;
        *pnNeeded = *pnInfo = 1;
    }
    return dwError;
}

BOOL GenerateRandom(HCRYPTPROV hProvider, DWORD cb, BYTE *pb)
{
    if (ModelRandom.empty() || cb != sizeof(DWORD))
        return CryptGenRandom(hProvider, cb, pb);
    memcpy(pb, &ModelRandom.front(), sizeof(DWORD));
    ModelRandom.erase(ModelRandom.begin());
    return TRUE;
}

BOOL ChangeServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID pvInfo)
{
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        ModelRestartsAfterAnyFailure =
            ((SERVICE_FAILURE_ACTIONS_FLAG *)pvInfo)->fFailureActionsOnNonCrashFailures;
    if (dwInfoLevel != SERVICE_CONFIG_SERVICE_SID_INFO)
        return ChangeServiceConfig2W(hService, dwInfoLevel, pvInfo);
    ModelSidType = ((SERVICE_SID_INFO *)pvInfo)->dwServiceSidType;
    SetLastError(ModelSidRefused);
    return ModelSidRefused == 0;
}

BOOL QueryServiceSetting(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE pbBuffer, DWORD cbBuffer,
                         LPDWORD pcbNeeded)
{
    if (cbBuffer < sizeof(SERVICE_FAILURE_ACTIONSW) + 2 * sizeof(SC_ACTION))
        return QueryServiceConfig2W(hService, dwInfoLevel, pbBuffer, cbBuffer, pcbNeeded);
    if (dwInfoLevel == SERVICE_CONFIG_SERVICE_SID_INFO)
        ((SERVICE_SID_INFO *)pbBuffer)->dwServiceSidType = ModelSidType;
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        ((SERVICE_FAILURE_ACTIONS_FLAG *)pbBuffer)->fFailureActionsOnNonCrashFailures =
            ModelRestartsAfterAnyFailure;
    if (dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS)
        return TRUE;
    SERVICE_FAILURE_ACTIONSW *pActions = (SERVICE_FAILURE_ACTIONSW *)pbBuffer;
    memset(pActions, 0, sizeof *pActions);
    pActions->cActions = ModelRestartsAfterAnyFailure ? 1 : 2;
    pActions->lpsaActions = (SC_ACTION *)(pActions + 1);
    pActions->lpsaActions[0] = {SC_ACTION_RESTART, 5000};
    pActions->lpsaActions[1] = {SC_ACTION_NONE, 0};
    return TRUE;
}

HANDLE OpenEventSource(LPCSTR szSource)
{
    ModelSource = szSource;
    return RegisterEventSourceA(NULL, szSource);
}

BOOL ReportEventLine(HANDLE, WORD wType, DWORD dwEventId, LPCSTR szLine)
{
    ModelReported.push_back(std::to_string(wType) + " " + std::to_string(dwEventId) + " " + szLine);
    return TRUE;
}

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The program's exit code, and its output and errors.
int RunPrepare(std::string *pOut, const char *szArgs = "")
{
    std::string err;
    int code = RunProgram("\"" + ExeDir() + "\\quorvel-prepare.exe\"" + szArgs, "", pOut, &err);
    *pOut += err;
    return code;
}

// What has been set aside beside the log, by name; removed with fRemove.
std::vector<std::string> SetAsides(bool fRemove = false)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA("C:\\log_QX.log.set-aside-*", &found);
    for (BOOL fMore = hFind != INVALID_HANDLE_VALUE; fMore; fMore = FindNextFileA(hFind, &found)) {
        names.push_back(std::string("C:\\") + found.cFileName);
        if (fRemove)
            RemoveAll(names.back());
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return names;
}

// The beginning of a report of ours as the model keeps it.
std::string Said(WORD wType, DWORD dwEventId, const std::string &head)
{
    return std::to_string(wType) + " " + std::to_string(dwEventId) + " quorvel-prepare: " + head;
}

ULONGLONG FileIndex(const char *szPath)
{
    HANDLE h = CreateFileA(szPath, FILE_READ_ATTRIBUTES, SHARE_ALL, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ULONGLONG index = FileIndexOf(h);
    CloseHandle(h);
    return index;
}

// The log's own owner and protected list, as text.
std::string LogSddl(void)
{
    PSID pServiceSid = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    std::string sddl = OurServiceSid(&pServiceSid) && MakeLogSecurity(pServiceSid, TRUE, &pSd)
                           ? SddlOf(pSd)
                           : "";
    LocalFree(pSd);
    FreeSid(pServiceSid);
    return sddl;
}

// The program on the real log: made with its list from the first moment;
// set aside while another program holds it sharing delete, which then reads
// no later line; kept as the same file (an upgrade), read-only cleared, where
// nobody else holds it; the install stopped, exit 1, where one holds it
// without sharing delete (no takeover advice) or a call fails.
TEST_F(Service, PrepareKeepsTheLogOnlyWhereNobodyElseHoldsItAndChecks)
{
    std::string out;
    ASSERT_EQ(0, RunPrepare(&out)) << out;
    EXPECT_NE(std::string::npos, out.find("made C:\\log_QX.log")) << out;
    std::string dacl = LogDacl();
    EXPECT_TRUE(dacl.rfind("D:", 0) == 0 && dacl.find(";WD)") == std::string::npos) << dacl;
    ASSERT_EQ(20, WriteLog("a line from before"));
    HANDLE hViewer = CreateFileA(LOG_PATH, GENERIC_READ, SHARE_ALL, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hViewer);
    EXPECT_EQ(0, RunPrepare(&out)) << out;
    EXPECT_NE(std::string::npos, out.find(": another program holds it open")) << out;
    std::vector<std::string> asides = SetAsides(true);
    ASSERT_EQ(1u, asides.size());
    EXPECT_NE(std::string::npos, out.find("aside as " + asides[0])) << out;
    EXPECT_EQ(14, WriteLog("a later line"));
    char rgb[64] = "";
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadFile(hViewer, rgb, sizeof rgb - 1, &cbRead, NULL));
    EXPECT_STREQ("a line from before\r\n", rgb) << "the viewer reads only the old lines";
    CloseHandle(hViewer);

    ASSERT_TRUE(SetFileAttributesA(LOG_PATH, FILE_ATTRIBUTE_READONLY));
    ULONGLONG index = FileIndex(LOG_PATH);
    EXPECT_EQ(0, RunPrepare(&out)) << out;
    EXPECT_NE(std::string::npos, out.find("kept C:\\log_QX.log")) << out;
    EXPECT_EQ(index, FileIndex(LOG_PATH));
    EXPECT_EQ("a later line\r\n", ReadLogFile());
    EXPECT_EQ(0u, GetFileAttributesA(LOG_PATH) & FILE_ATTRIBUTE_READONLY);

    HANDLE hHolder = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(1, RunPrepare(&out)) << out;
    CloseHandle(hHolder);
    EXPECT_NE(std::string::npos, out.find("C:\\log_QX.log is a file held open by another "
                                          "program: close it, then install again"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("takeown")) << out;
    EXPECT_EQ("a later line\r\n", ReadLogFile()) << "left where it was";

    // The check reads only, and reports nothing to the event log: on an
    // install as the preparation and the scripts leave it, all hold (exit
    // code 0); each setting undone is one finding, and the exit code counts
    // them.
    ASSERT_TRUE(ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                     SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL,
                                     L"NT AUTHORITY\\LocalService", L"", NULL));
    std::string sddl = LogSddl();
    ModelSidType = 1; // SERVICE_SID_TYPE_UNRESTRICTED
    ModelSd = sddl.c_str();
    ModelReported.clear();
    EXPECT_EQ(0, CheckInstall(L"C:\\log_QX.log"));

    // Each undone: the account and start, the SID type, a failure not
    // restarted and the flag, the log's owner and protection, and the pipe
    // opened to anonymous remote users.
    ASSERT_TRUE(ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, L"LocalSystem",
                                     L"", NULL));
    ModelSidType = 0; // SERVICE_SID_TYPE_NONE
    ModelRestartsAfterAnyFailure = FALSE;
    ModelSd = "O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)";
    const char szKey[] = "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
    const char rgbPipes[] = "COMNAP\0$MyPipe$\0";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, szKey, "NullSessionPipes",
                                             REG_MULTI_SZ, rgbPipes, sizeof rgbPipes));
    EXPECT_EQ(8, CheckInstall(L"C:\\log_QX.log"));
    ModelRestartsAfterAnyFailure = TRUE;
    ModelSd = NULL;
    EXPECT_TRUE(ModelReported.empty());

    // The program itself, on what Wine keeps: its exit code counts its lines.
    int code = RunPrepare(&out, " --check");
    size_t nLines = 0;
    for (size_t i = out.find("quorvel-prepare: check: "); i != std::string::npos;
         i = out.find("quorvel-prepare: check: ", i + 1))
        ++nLines;
    EXPECT_EQ((int)nLines, code) << out;
    EXPECT_NE(std::string::npos, out.find("check: anonymous remote users may open $MyPipe$")) << out;
    EXPECT_NE(std::string::npos, out.find("check: it runs as LocalSystem")) << out;
    EXPECT_EQ(index, FileIndex(LOG_PATH));
    EXPECT_EQ("a later line\r\n", ReadLogFile());
    // A mistyped option checks nothing and says so by its exit code.
    EXPECT_EQ(2, RunPrepare(&out, " /check")) << out;
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, szKey, "NullSessionPipes");

    CloseServiceHandle(hService);
    hService = NULL;
    ASSERT_TRUE(RemoveServiceRegistration(hManager));
    EXPECT_EQ(1, RunPrepare(&out)) << out;
    EXPECT_NE(std::string::npos, out.find("OpenService failed for \"Quorvel service\"")) << out;
}

// What others hold or may hold, or what is no file of its own, is set aside
// under a new name, never adopted, deleted nor put over what has that name,
// and given the log's list, and a new log is made; each outcome reported to
// the event log under its own ID. A log anyone may read, a folder and a
// holder are real under Wine; another owner, the entries a list names, a
// list that shuts us out and the holder's name are modelled.
TEST_F(Service, PrepareSetsAsideWhatOthersMayHold)
{
    const char szOld[] = "lines a user may read";
    const struct {
        const char *szWhat;
        bool fFolder;
        const char *szSd;
        DWORD dwDenied;
        const char *szWhy;
    } cases[] = {
        {"a log anyone may read", false, NULL, 0, "its access list lets S-1-1-0 in"},
        {"a log another user made", false, "O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;BA)", 0,
         "its owner, S-1-5-21-1-2-3-1001, is neither"},
        {"a log LocalService made", false, "O:LSD:P(A;;FA;;;BA)", 0, "its owner, S-1-5-19,"},
        {"a log LocalService may hold", false, "O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;LS)", 0,
         "its access list lets S-1-5-19 in"},
        {"a log with C:\\'s entry for Users", false, "O:BAD:(A;;FA;;;BA)(A;ID;0x1200a9;;;BU)", 0,
         "its access list lets S-1-5-32-545 in"},
        {"a folder", true, NULL, 0, "it is a folder, not a file"},
        {"a folder that shuts us out", true, NULL, READ_CONTROL | FILE_READ_ATTRIBUTES,
         "it is a folder whose access list shuts out even an administrator"},
    };
    PSID pServiceSid = NULL;
    ASSERT_TRUE(OurServiceSid(&pServiceSid));
    // The first case's first name is taken, in this second or the next few:
    // another is tried, and what had the name keeps its lines.
    std::vector<std::string> taken;
    SYSTEMTIME t;
    FILETIME ft;
    GetLocalTime(&t);
    SystemTimeToFileTime(&t, &ft);
    for (int i = 0; i < 5; ++i) {
        ULONGLONG u = ((ULONGLONG)ft.dwHighDateTime << 32 | ft.dwLowDateTime) + i * 10000000ull;
        FILETIME ftThen = {(DWORD)u, (DWORD)(u >> 32)};
        FileTimeToSystemTime(&ftThen, &t);
        char szName[MAX_PATH];
        snprintf(szName, sizeof szName, "C:\\log_QX.log.set-aside-%04u%02u%02u-%02u%02u%02u-%08x",
                 t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, 0x7f3a09c2u);
        taken.push_back(szName);
        ASSERT_TRUE(WriteWholeFile(szName, "an earlier set-aside"));
    }
    ModelRandom = {0x7f3a09c2, 0x00c0ffee};
    wchar_t wszSetAside[MAX_PATH] = L"";
    auto Prepare = [&] {
        return PrepareLogFile(L"C:\\log_QX.log", pServiceSid, wszSetAside, MAX_PATH);
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(c.fFolder ? CreateDirectoryA(LOG_PATH, NULL) != 0
                              : WriteWholeFile(LOG_PATH, szOld))
            << c.szWhat;
        ModelReported.clear();
        ModelSd = c.szSd;
        ModelDenied = c.dwDenied;
        EXPECT_EQ(LogSetAsideAndMade, Prepare()) << c.szWhat;
        ModelSd = NULL;
        ModelDenied = 0;
        char szSetAside[MAX_PATH];
        snprintf(szSetAside, sizeof szSetAside, "%ls", wszSetAside);
        EXPECT_TRUE(std::regex_match(
            szSetAside, std::regex(R"(C:\\log_QX\.log\.set-aside-[0-9]{8}-[0-9]{6}-[0-9a-f]{8})")))
            << szSetAside;
        DWORD dwAttributes = GetFileAttributesA(szSetAside);
        EXPECT_TRUE(dwAttributes != INVALID_FILE_ATTRIBUTES &&
                    c.fFolder == ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
            << c.szWhat;
        EXPECT_EQ(c.fFolder ? "" : szOld, ReadWholeFile(szSetAside)) << c.szWhat;
        // Through the handle that moved it: a list that shut us out is left.
        EXPECT_EQ(c.dwDenied ? "" : LogSddl(), ModelSet[FileIndex(szSetAside)]) << c.szWhat;
        ASSERT_EQ(2u, ModelReported.size()) << c.szWhat;
        EXPECT_EQ(0u, ModelReported[0].find(Said(EVENTLOG_WARNING_TYPE, MSG_LOG_SET_ASIDE,
                                                 "set C:\\log_QX.log aside as " +
                                                     std::string(szSetAside) + ": " + c.szWhy)))
            << ModelReported[0];
        EXPECT_EQ(0u, ModelReported[1].find(
                          Said(EVENTLOG_INFORMATION_TYPE, MSG_LOG_MADE, "made C:\\log_QX.log")))
            << ModelReported[1];
        EXPECT_TRUE(DeleteFileA(LOG_PATH)) << c.szWhat << ": a new log was made";
    }
    EXPECT_TRUE(ModelRandom.empty()) << "a taken name was not tried again";
    for (const auto &name : taken)
        EXPECT_EQ("an earlier set-aside", ReadWholeFile(name.c_str()));
    SetAsides(true);

    // Kept: given the log's owner and protected list, so that it takes no
    // entry C:\ hands down.
    ASSERT_EQ(LogMade, Prepare());
    EXPECT_EQ(LogKept, Prepare());
    EXPECT_EQ(LogSddl(), ModelSet[FileIndex(LOG_PATH)]);
    DeleteFileA(LOG_PATH);

    // Held without delete sharing: the Restart Manager names the holder.
    // Shut out of delete too (a C:\ whose own list was changed): refused,
    // with the takeover advice.
    ASSERT_TRUE(CreateDirectoryA(LOG_PATH, NULL));
    HANDLE hHolder = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ModelReported.clear();
    ModelHolder = L"viewer.exe";
    EXPECT_EQ(LogHeld, Prepare());
    ModelHolder = NULL;
    CloseHandle(hHolder);
    ModelDenied = READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE;
    EXPECT_EQ(LogFailed, Prepare());
    ModelDenied = 0;
    ASSERT_EQ(2u, ModelReported.size());
    EXPECT_EQ(0u, ModelReported[0].find(Said(EVENTLOG_ERROR_TYPE, MSG_LOG_HELD,
                                             "C:\\log_QX.log is a folder held open by viewer.exe "
                                             "(process 4242): close it, then install again")))
        << ModelReported[0];
    EXPECT_EQ(0u, ModelReported[1].find(Said(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
                                             "C:\\log_QX.log is a folder that cannot be set "
                                             "aside (error 5): take it over")))
        << ModelReported[1];
    EXPECT_TRUE(RemoveDirectoryA(LOG_PATH)) << "left where it was";

    // A name freed again just as it is judged is made, not failed; one taken
    // again before each try is set aside each round, three in all, and then
    // given up with a line that says why.
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, szOld));
    ModelGoneOnce = true;
    EXPECT_EQ(LogMade, Prepare());
    EXPECT_TRUE(DeleteFileA(LOG_PATH)) << "a new log was made";
    ModelReported.clear();
    ModelRetaken = 4;
    EXPECT_EQ(LogFailed, Prepare());
    ModelRetaken = 0;
    EXPECT_EQ(3u, SetAsides(true).size());
    ASSERT_FALSE(ModelReported.empty());
    EXPECT_EQ(0u, ModelReported.back().find(Said(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
                                                 "C:\\log_QX.log was taken again each time")))
        << ModelReported.back();
    RemoveDirectoryA(LOG_PATH);
    FreeSid(pServiceSid);

    // The install step: a SID of the service's own, unrestricted, and a
    // failed start restarted too; a SID type refused for any reason but a
    // manager without SID types stops it, whatever else would succeed. Each
    // line goes to the source the package registers the messages under.
    ModelRestartsAfterAnyFailure = FALSE;
    EXPECT_EQ(0, PrepareInstall(L"C:\\log_QX.log"));
    EXPECT_EQ(1u /* SERVICE_SID_TYPE_UNRESTRICTED */, ModelSidType);
    EXPECT_TRUE(ModelRestartsAfterAnyFailure);
    EXPECT_EQ("Quorvel service", ModelSource);
    ModelSidRefused = ERROR_ACCESS_DENIED;
    EXPECT_EQ(1, PrepareInstall(L"C:\\log_QX.log"));
    ModelSidRefused = 0;
    EXPECT_EQ(0u, ModelReported.back().find(Said(EVENTLOG_ERROR_TYPE, MSG_PREPARE_FAILED,
                                                 "ChangeServiceConfig2 failed")))
        << ModelReported.back();
}

// What the Event Viewer shows for a reported line, under each ID: the
// program's message table, formatted as the viewer formats it, gives the
// line itself.
TEST(PrepareEvents, TheViewerShowsTheLine)
{
    HMODULE hProgram = LoadLibraryExA((ExeDir() + "\\quorvel-prepare.exe").c_str(), NULL,
                                      LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hProgram) << GetLastError();
    const char *rgszArgs[] = {"quorvel-prepare: made C:\\log_QX.log"};
    for (DWORD dwId : {MSG_PREPARE_STEP, MSG_LOG_MADE, MSG_LOG_KEPT, MSG_LOG_SET_ASIDE,
                       MSG_LOG_HELD, MSG_PREPARE_FAILED}) {
        char szShown[256] = "";
        EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     hProgram, dwId, 0, szShown, sizeof szShown,
                                     (va_list *)rgszArgs))
            << dwId << ": " << GetLastError();
        EXPECT_STREQ("quorvel-prepare: made C:\\log_QX.log\r\n", szShown) << dwId;
    }
    FreeLibrary(hProgram);
}

// The rule Windows derives a service's SID by, checked on one it gives.
TEST(ServiceSid, IsTheOneWindowsDerivesFromTheName)
{
    PSID pSid = NULL;
    LPSTR szSid = NULL;
    ASSERT_TRUE(ServiceSidOf(L"TrustedInstaller", &pSid));
    ASSERT_TRUE(ConvertSidToStringSidA(pSid, &szSid));
    EXPECT_STREQ("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", szSid);
    EXPECT_TRUE(IsServiceSid(pSid));
    LocalFree(szSid);
    FreeSid(pSid);
}

} // namespace
