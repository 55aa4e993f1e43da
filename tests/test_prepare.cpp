// The preparation program on the real log file under Wine, with the service
// registered; and, in this process, its library with a model of an owner.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "log/log.h"
#include "prepare/prepare.h"
#include "fixtures.h"

// Under Wine every file is owned by the one user it runs as; with
// ModelOtherOwner a file is owned by another user of the machine, as a log
// someone else made would be.
static bool ModelOtherOwner = false;

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
// as one we made (under Wine, by the user who runs us), also while a viewer
// that shares no delete follows it. Wine keeps no
// descriptor and reads back its own owner, but gives the file the mode the
// list allows: no one else may read it, where a file made plainly lets
// everyone (WD) read. (A folder, link or second name in the log's place: the
// installer test.)
TEST_F(Service, PrepareMakesTheLogWithItsOwnListThenKeepsIt)
{
    std::string dacl;
    EXPECT_NE(std::string::npos, RunPrepare(&dacl).find("made C:\\log_QX.log"));
    EXPECT_TRUE(dacl.rfind("D:", 0) == 0 && dacl.find(";WD)") == std::string::npos) << dacl;
    EXPECT_EQ("", ReadLogFile());
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, "a line from before\r\n"));
    HANDLE hViewer = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    EXPECT_NE(std::string::npos, RunPrepare(&dacl).find("kept C:\\log_QX.log"));
    CloseHandle(hViewer);
    EXPECT_EQ("a line from before\r\n", ReadLogFile());
}

// A log someone else made may be held open by them: set aside under a new
// name, never adopted nor deleted, and a new log made.
TEST_F(Service, PrepareSetsAsideALogSomeoneElseMade)
{
    DeleteFileA(SET_ASIDE_PATH);
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, "lines a user may read"));
    PSID pServiceSid = NULL;
    ASSERT_TRUE(MakeServiceSid(L"Quorvel service", &pServiceSid));
    wchar_t wszSetAside[MAX_PATH] = L"";
    ModelOtherOwner = true;
    EXPECT_EQ(LogSetAsideAndMade,
              PrepareLogFile(L"C:\\log_QX.log", pServiceSid, wszSetAside, MAX_PATH));
    ModelOtherOwner = false;
    FreeSid(pServiceSid);
    EXPECT_STREQ(L"C:\\log_QX.log.set-aside-1", wszSetAside);
    EXPECT_EQ("lines a user may read", ReadWholeFile(SET_ASIDE_PATH));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(LOG_PATH));
    EXPECT_EQ("", ReadLogFile());
    DeleteFileA(SET_ASIDE_PATH);
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
