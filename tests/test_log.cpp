// The log writer against the real log file, and the log's access lists.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "log/log.h"
#include "log/seams_win.h"
#include "pipe/protocol.h"
#include "service/service.h"
#include "support.h"

// Another program's hold on the log, let go at the first try refused once it
// has lasted HOLD_MS: a moment the retries' pauses span, whatever the
// scheduler does, and one that tries back to back would not outlast.
static HANDLE HeldLog = INVALID_HANDLE_VALUE;
static DWORD HeldRefusedTick = 0;
static const DWORD HOLD_MS = 25;
// How the writer last opened the log: its flags, and the list it makes it with.
static DWORD LastOpenFlags = 0;
static std::string LastCreateSddl;

HANDLE CreateLogFile(LPCSTR szName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    LastOpenFlags = dwFlags;
    LPSTR szSddl = NULL;
    LastCreateSddl.clear();
    if (dwDisposition == OPEN_ALWAYS && psa != NULL &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            psa->lpSecurityDescriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &szSddl, NULL))
        LastCreateSddl = szSddl;
    LocalFree(szSddl);
    HANDLE hFile = CreateFileA(szName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
    if (hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION &&
        HeldLog != INVALID_HANDLE_VALUE) {
        if (HeldRefusedTick == 0)
            HeldRefusedTick = GetTickCount();
        if (GetTickCount() - HeldRefusedTick < HOLD_MS)
            return hFile;
        CloseHandle(HeldLog);
        HeldLog = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_SHARING_VIOLATION);
    }
    return hFile;
}

namespace {

class Log : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ("", CleanMachine()); }
    void TearDown() override { DeleteLogFile(); }
};

// What a list lets pSid do, by the platform's rule for a list of allow
// entries (a deny entry fails the case): the union of the rights of the
// entries that name it. Protected, no entry C:\ hands down applies.
ACCESS_MASK RightsOf(const std::string &sddl, WELL_KNOWN_SID_TYPE type, PSID pSid = NULL)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    PACL pDacl = NULL;
    BOOL fPresent = FALSE, fDefaulted = FALSE;
    BYTE rgbSid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof rgbSid;
    if (pSid == NULL && CreateWellKnownSid(type, NULL, rgbSid, &cbSid))
        pSid = rgbSid;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                     &pSd, NULL))
        << sddl;
    EXPECT_TRUE(GetSecurityDescriptorControl(pSd, &control, &dwRevision) &&
                (control & SE_DACL_PROTECTED))
        << "protected: " << sddl;
    ACCESS_MASK rights = 0;
    if (GetSecurityDescriptorDacl(pSd, &fPresent, &pDacl, &fDefaulted) && pDacl != NULL) {
        for (DWORD i = 0; i < pDacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE *pAce = NULL;
            GetAce(pDacl, i, (LPVOID *)&pAce);
            EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, pAce->Header.AceType) << sddl;
            if (EqualSid(&pAce->SidStart, pSid))
                rights |= pAce->Mask;
        }
    }
    EXPECT_TRUE(fPresent && pDacl != NULL) << sddl;
    LocalFree(pSd);
    return rights;
}

// Administrators and SYSTEM all, the service what its writer opens with
// (CreateFile asks read attributes and synchronize with every open) and no
// more, and no one else anything.
void ExpectTheLogsRights(const std::string &sddl, PSID pServiceSid)
{
    const ACCESS_MASK writer = LOG_WRITE_ACCESS | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    EXPECT_EQ((ACCESS_MASK)FILE_ALL_ACCESS, RightsOf(sddl, WinBuiltinAdministratorsSid)) << sddl;
    EXPECT_EQ((ACCESS_MASK)FILE_ALL_ACCESS, RightsOf(sddl, WinLocalSystemSid)) << sddl;
    if (pServiceSid != NULL) {
        EXPECT_EQ(writer, RightsOf(sddl, WinNullSid, pServiceSid)) << sddl;
    }
    for (WELL_KNOWN_SID_TYPE other : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                      WinLocalServiceSid, WinCreatorOwnerSid})
        EXPECT_EQ(0u, RightsOf(sddl, other)) << sddl;
}

// The writer makes the log with the log's own list, and never through a
// link in its place. Under Wine the list is not kept, but the mode Wine
// gives the file from it is: no one else may read it, where a plain create
// lets everyone (WD) read.
TEST_F(Log, FirstLineCreatesTheFileWithTheLogsOwnList)
{
    EXPECT_EQ(29, WriteLog("Quorvel service entry point"));
    EXPECT_EQ("Quorvel service entry point\r\n", ReadLogFile());
    EXPECT_TRUE(LastOpenFlags & FILE_FLAG_OPEN_REPARSE_POINT);
    // Each line on the disk before the writer returns, so that a machine that
    // loses its power keeps it; no cache under Wine is lost so.
    EXPECT_TRUE(LastOpenFlags & FILE_FLAG_WRITE_THROUGH);
    ExpectTheLogsRights(LastCreateSddl, NULL);
    std::string dacl = LogDacl();
    EXPECT_TRUE(dacl.rfind("D:", 0) == 0 && dacl.find(";WD)") == std::string::npos) << dacl;

    // The service's, given at its entry: the one with its entry.
    PSID pServiceSid = NULL;
    PSECURITY_DESCRIPTOR pPrepareSd = NULL;
    LPSTR szSddl = NULL;
    ASSERT_TRUE(OurServiceSid(&pServiceSid));
    DeleteLogFile();
    BeginServiceLog();
    ExpectTheLogsRights(LastCreateSddl, pServiceSid);
    // The preparation's, owned by Administrators.
    ASSERT_TRUE(MakeLogSecurity(pServiceSid, TRUE, &pPrepareSd));
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        pPrepareSd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &szSddl, NULL));
    EXPECT_EQ(0u, std::string(szSddl).find("O:BA")) << szSddl;
    ExpectTheLogsRights(szSddl, pServiceSid);
    LocalFree(szSddl);
    LocalFree(pPrepareSd);
    FreeSid(pServiceSid);
}

// Appended to what was there, also while a viewer follows the file. A hold
// let go within the retries loses no line; one that outlasts them loses
// lines, each retried briefly, never hung on, and the next line that can be
// written says how many, once.
TEST_F(Log, AppendsAndLosesLinesOnlyToAHoldThatOutlastsTheRetries)
{
    const std::string old("old\0bytes\xFF", 10);
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, old));
    HANDLE hViewer = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hViewer);
    EXPECT_EQ(7, WriteLog("first"));
    CloseHandle(hViewer);
    HeldLog = CreateFileA(LOG_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, HeldLog);
    EXPECT_EQ(8, WriteLog("second")) << "a hold of " << HOLD_MS << " ms outlasted the retries";
    EXPECT_EQ(INVALID_HANDLE_VALUE, HeldLog) << "a try was refused first";

    HANDLE hHeld = CreateFileA(LOG_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    DWORD dwStart = GetTickCount();
    EXPECT_EQ(-1, WriteLog("lost"));
    EXPECT_LT(GetTickCount() - dwStart, 2000u);
    EXPECT_EQ(-1, WriteLog("lost too"));
    CloseHandle(hHeld);
    EXPECT_EQ(6, WriteLog("back"));
    EXPECT_EQ(7, WriteLog("again"));
    char szNotice[LOG_LINE_SIZE];
    snprintf(szNotice, sizeof szNotice, LOG_DROPPED_FORMAT, 2ul);
    EXPECT_EQ(old + "first\r\nsecond\r\n" + szNotice + "\r\nback\r\nagain\r\n", ReadLogFile());
}

TEST_F(Log, OverlongMessageIsCutNotOverrun)
{
    EXPECT_EQ((int)LOG_LINE_SIZE - 1, WriteLog(std::string(LOG_LINE_SIZE * 3, 'h').c_str()));
    EXPECT_EQ(std::string(LOG_LINE_SIZE - 3, 'h') + "\r\n", ReadLogFile());

    // The longest message the service itself writes fits whole.
    DeleteLogFile();
    std::string longest(MESSAGE_SIZE - 1, 'r');
    EXPECT_EQ((int)MESSAGE_SIZE + 1, WriteLog(longest.c_str()));
    EXPECT_EQ(longest + "\r\n", ReadLogFile());
}

TEST_F(Log, FailedCallLinesAndTheCallersError)
{
    SetLastError(ERROR_PIPE_BUSY);
    LogCallError("CreateNamedPipe", 231);
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError()) << "logging keeps the caller's error";
    EXPECT_EQ("CreateNamedPipe: Error 231\n\r\n", ReadLogFile());
}

const int LINES_PER_THREAD = 400;

DWORD WINAPI WriteManyLines(LPVOID pv)
{
    char line[64];
    for (int i = 0; i < LINES_PER_THREAD; ++i) {
        snprintf(line, sizeof line, "thread %d line %04d", (int)(INT_PTR)pv, i);
        WriteLog(line);
    }
    return 0;
}

TEST_F(Log, TwoThreadsLoseNoLine)
{
    HANDLE hThreads[2];
    for (int i = 0; i < 2; ++i)
        hThreads[i] = CreateThread(NULL, 0, WriteManyLines, (LPVOID)(INT_PTR)i, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, hThreads, TRUE, 60000));
    CloseHandle(hThreads[0]);
    CloseHandle(hThreads[1]);
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ((size_t)(2 * LINES_PER_THREAD), lines.size());
    int next[2] = {0, 0};
    for (const std::string &line : lines) {
        int iThread = -1;
        sscanf(line.c_str(), "thread %d", &iThread);
        ASSERT_TRUE(iThread == 0 || iThread == 1) << line;
        char expected[64];
        snprintf(expected, sizeof expected, "thread %d line %04d", iThread, next[iThread]++);
        ASSERT_EQ(expected, line) << "each thread's lines whole and in order";
    }
}

} // namespace
