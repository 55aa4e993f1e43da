// The preparation program on the real log file under Wine, with the service
// registered; and, in this process, its library with a model of an owner.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "prepare/prepare.h"
#include "fixtures.h"
#include "prepare_messages.h"

// Under Wine every file is owned by the one user it runs as, no access list
// shuts an administrator out, and no event log is kept. The models: with
// ModelOtherOwner a file is owned by another user of the machine, as a log
// someone else made would be; ModelDenied holds the rights an open of the
// log's place is refused, as a list that denies them to everyone would
// (Windows still grants an administrator delete through C:\'s list, which
// gives Administrators the right to delete what it holds); with
// ModelGoneOnce the name is freed just before it is judged, as by another
// program; ModelReported holds what was reported to the event log.
static bool ModelOtherOwner = false;
static DWORD ModelDenied = 0;
static bool ModelGoneOnce = false;
struct Reported {
    WORD wType;
    std::string line;
};
static std::vector<Reported> ModelReported;

HANDLE OpenLogPlace(const wchar_t *wszLog, DWORD dwAccess)
{
    if (ModelGoneOnce) {
        ModelGoneOnce = false;
        DeleteFileW(wszLog);
    }
    if (dwAccess & ModelDenied) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wszLog, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

BOOL ReportToEventLog(WORD wType, DWORD dwEventId, const char *szLine)
{
    EXPECT_EQ((DWORD)MSG_PREPARE_OUTCOME, dwEventId);
    ModelReported.push_back({wType, szLine});
    return TRUE;
}

DWORD OwnerOfFile(HANDLE hFile, PSID *ppOwner, PSECURITY_DESCRIPTOR *ppSd)
{
    BOOL fDefaulted = FALSE;
    if (!ModelOtherOwner)
        return GetSecurityInfo(hFile, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, ppOwner, NULL,
                               NULL, NULL, ppSd);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:S-1-5-21-1-2-3-1001",
                                                              SDDL_REVISION_1, ppSd, NULL) ||
        !GetSecurityDescriptorOwner(*ppSd, ppOwner, &fDefaulted))
        return GetLastError();
    return ERROR_SUCCESS;
}

namespace {

const char SET_ASIDE_PATH[] = "C:\\log_QX.log.set-aside-1";

// The program's lines (its exit code must be 0), and the log's access list.
std::string RunPrepare(std::string *pDacl)
{
    std::string out, err;
    EXPECT_EQ(0, RunProgram("\"" + ExeDir() + "\\quorvel-prepare.exe\"", "", &out, &err)) << out;
    PSECURITY_DESCRIPTOR pSd = NULL;
    LPSTR szSddl = NULL;
    if (GetNamedSecurityInfoA(LOG_PATH, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                              NULL, NULL, &pSd) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(pSd, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &szSddl,
                                                             NULL))
        *pDacl = szSddl;
    LocalFree(szSddl);
    LocalFree(pSd);
    return out + err;
}

// Made with its list from the first moment, then kept whole by the next run,
// as one nobody but us can hold (under Wine, Wine gives the file the mode
// its list allows, and reads back a list of SYSTEM and the user it runs as),
// also while a viewer that shares no delete follows it; and made writable
// again, as a read-only log would refuse every line.
TEST_F(Service, PrepareMakesTheLogWithItsOwnListThenKeepsIt)
{
    std::string dacl;
    EXPECT_NE(std::string::npos, RunPrepare(&dacl).find("made C:\\log_QX.log"));
    EXPECT_TRUE(dacl.rfind("D:", 0) == 0 && dacl.find(";WD)") == std::string::npos) << dacl;
    EXPECT_EQ("", ReadLogFile());
    ASSERT_EQ(20, WriteLog("a line from before"));
    ASSERT_TRUE(SetFileAttributesA(LOG_PATH, FILE_ATTRIBUTE_READONLY));
    HANDLE hViewer = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    EXPECT_NE(std::string::npos, RunPrepare(&dacl).find("kept C:\\log_QX.log"));
    CloseHandle(hViewer);
    EXPECT_EQ("a line from before\r\n", ReadLogFile());
    EXPECT_EQ(0u, GetFileAttributesA(LOG_PATH) & FILE_ATTRIBUTE_READONLY);
}

// What others may hold, or what is no file of its own, is set aside under a
// new name, never adopted nor deleted, and a new log made; each outcome is
// also reported to the event log. A log anyone may read and a folder are
// real under Wine; another owner and a list that shuts us out are modelled.
TEST_F(Service, PrepareSetsAsideWhatOthersMayHold)
{
    const char szOld[] = "lines a user may read";
    const struct {
        const char *szWhat;
        bool fFolder, fOtherOwner;
        DWORD dwDenied;
        const char *szWhy;
    } cases[] = {
        {"a log anyone may read", false, false, 0, "its access list lets S-1-1-0 in"},
        {"a log another user made", false, true, 0, "its owner, S-1-5-21-1-2-3-1001, is not"},
        {"a folder", true, false, 0, "it is a folder, not a file"},
        {"a folder that shuts us out", true, false, READ_CONTROL | FILE_READ_ATTRIBUTES,
         "it is a folder whose access list shuts out even an administrator"},
    };
    PSID pServiceSid = NULL;
    ASSERT_TRUE(MakeServiceSid(L"Quorvel service", &pServiceSid));
    for (const auto &c : cases) {
        RemoveDirectoryA(SET_ASIDE_PATH);
        DeleteFileA(SET_ASIDE_PATH);
        ASSERT_TRUE(c.fFolder ? CreateDirectoryA(LOG_PATH, NULL) != 0
                              : WriteWholeFile(LOG_PATH, szOld))
            << c.szWhat;
        wchar_t wszSetAside[MAX_PATH] = L"";
        ModelReported.clear();
        ModelOtherOwner = c.fOtherOwner;
        ModelDenied = c.dwDenied;
        EXPECT_EQ(LogSetAsideAndMade,
                  PrepareLogFile(L"C:\\log_QX.log", pServiceSid, wszSetAside, MAX_PATH))
            << c.szWhat;
        ModelOtherOwner = false;
        ModelDenied = 0;
        EXPECT_STREQ(L"C:\\log_QX.log.set-aside-1", wszSetAside) << c.szWhat;
        DWORD dwAttributes = GetFileAttributesA(SET_ASIDE_PATH);
        EXPECT_EQ(c.fFolder, dwAttributes != INVALID_FILE_ATTRIBUTES &&
                                 (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            << c.szWhat;
        EXPECT_EQ(c.fFolder ? "" : szOld, ReadWholeFile(SET_ASIDE_PATH)) << c.szWhat;
        EXPECT_EQ(0u, GetFileAttributesA(LOG_PATH) & FILE_ATTRIBUTE_DIRECTORY) << c.szWhat;
        EXPECT_EQ("", ReadLogFile()) << c.szWhat;
        ASSERT_EQ(2u, ModelReported.size()) << c.szWhat;
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, ModelReported[0].wType);
        EXPECT_EQ(0u, ModelReported[0].line.find("quorvel-prepare: set C:\\log_QX.log aside as "
                                                 "C:\\log_QX.log.set-aside-1: " +
                                                 std::string(c.szWhy)))
            << ModelReported[0].line;
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, ModelReported[1].wType);
        EXPECT_EQ(0u, ModelReported[1].line.find("quorvel-prepare: made C:\\log_QX.log"));
        DeleteFileA(LOG_PATH);
    }
    RemoveDirectoryA(SET_ASIDE_PATH);

    // Shut out of delete too (a C:\ whose own list was changed): refused,
    // with a line that says what it is and what to do.
    ASSERT_TRUE(CreateDirectoryA(LOG_PATH, NULL));
    ModelReported.clear();
    ModelDenied = READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE;
    wchar_t wszSetAside[MAX_PATH] = L"";
    EXPECT_EQ(LogRefused, PrepareLogFile(L"C:\\log_QX.log", pServiceSid, wszSetAside, MAX_PATH));
    ModelDenied = 0;
    ASSERT_EQ(1u, ModelReported.size());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, ModelReported[0].wType);
    EXPECT_EQ(0u, ModelReported[0].line.find("quorvel-prepare: C:\\log_QX.log is a folder that "
                                             "cannot be set aside (error 5): take it over"))
        << ModelReported[0].line;
    EXPECT_TRUE(RemoveDirectoryA(LOG_PATH)) << "left where it was";

    // A name freed again just as it is judged is made, not failed.
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, szOld));
    ModelGoneOnce = true;
    EXPECT_EQ(LogMade, PrepareLogFile(L"C:\\log_QX.log", pServiceSid, wszSetAside, MAX_PATH));
    EXPECT_EQ("", ReadLogFile());
    FreeSid(pServiceSid);
}

// What the Event Viewer shows for a reported line: the program's message
// table, formatted as the viewer formats it, gives the line itself.
TEST(PrepareEvents, TheViewerShowsTheLine)
{
    HMODULE hProgram = LoadLibraryExA((ExeDir() + "\\quorvel-prepare.exe").c_str(), NULL,
                                      LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hProgram) << GetLastError();
    const char *rgszArgs[] = {"quorvel-prepare: made C:\\log_QX.log"};
    char szShown[256] = "";
    EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 hProgram, MSG_PREPARE_OUTCOME, 0, szShown, sizeof szShown,
                                 (va_list *)rgszArgs))
        << GetLastError();
    EXPECT_STREQ("quorvel-prepare: made C:\\log_QX.log\r\n", szShown);
    FreeLibrary(hProgram);
}

// The rule Windows derives a service's SID by, checked on one it gives.
TEST(ServiceSid, IsTheOneWindowsDerivesFromTheName)
{
    PSID pSid = NULL;
    LPSTR szSid = NULL;
    ASSERT_TRUE(MakeServiceSid(L"TrustedInstaller", &pSid));
    ASSERT_TRUE(ConvertSidToStringSidA(pSid, &szSid));
    EXPECT_STREQ("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", szSid);
    LocalFree(szSid);
    FreeSid(pSid);
}

} // namespace
