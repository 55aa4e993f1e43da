// The log writer against the real log file.
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "pipe/protocol.h"
#include "support.h"

// Another program's hold on the log, let go the moment a try at the log has
// been refused for it: within the retry window, whatever the scheduler does.
static HANDLE HeldLog = INVALID_HANDLE_VALUE;

HANDLE CreateLogFile(LPCSTR szName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES psa,
                     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate)
{
    HANDLE hFile = CreateFileA(szName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
    if (hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION &&
        HeldLog != INVALID_HANDLE_VALUE) {
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

TEST_F(Log, FirstLineCreatesTheFile)
{
    EXPECT_EQ(29, WriteLog("Quorvel service entry point"));
    EXPECT_EQ("Quorvel service entry point\r\n", ReadLogFile());
}

TEST_F(Log, AppendsAndKeepsWhatWasThere)
{
    ASSERT_TRUE(WriteWholeFile(LOG_PATH, std::string("old\0bytes\xFF", 10)));
    EXPECT_EQ(25, WriteLog("Waiting for connect...\n"));
    EXPECT_EQ(std::string("old\0bytes\xFF", 10) + "Waiting for connect...\n\r\n", ReadLogFile());
}

TEST_F(Log, LinesEndInCrLfAfterTheirOwnLineFeed)
{
    EXPECT_EQ(16, WriteLog("Client exited\n"));
    EXPECT_EQ(2, WriteLog(""));
    EXPECT_EQ("Client exited\n\r\n\r\n", ReadLogFile());
}

TEST_F(Log, RefusedWhileHeldWithoutSharing)
{
    ASSERT_EQ(7, WriteLog("first"));
    HANDLE hHeld = CreateFileA(LOG_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    DWORD dwStart = GetTickCount();
    EXPECT_EQ(-1, WriteLog("lost"));
    // Retried briefly, never hung on.
    EXPECT_LT(GetTickCount() - dwStart, 2000u);
    CloseHandle(hHeld);
    EXPECT_EQ("first\r\n", ReadLogFile());
}

TEST_F(Log, AHoldLetGoWithinTheRetriesLosesNoLine)
{
    ASSERT_EQ(7, WriteLog("first"));
    HeldLog = CreateFileA(LOG_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, HeldLog);
    EXPECT_EQ(8, WriteLog("second"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, HeldLog) << "a try was refused first";
    EXPECT_EQ("first\r\nsecond\r\n", ReadLogFile());
}

TEST_F(Log, WritesWhileAViewerFollowsTheFile)
{
    ASSERT_EQ(7, WriteLog("first"));
    HANDLE hViewer = CreateFileA(LOG_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hViewer);
    EXPECT_EQ(8, WriteLog("second"));
    CloseHandle(hViewer);
    EXPECT_EQ("first\r\nsecond\r\n", ReadLogFile());
}

TEST_F(Log, OverlongMessageIsCutNotOverrun)
{
    std::string huge(LOG_LINE_SIZE * 3, 'h');
    int cb = WriteLog(huge.c_str());
    EXPECT_EQ((int)LOG_LINE_SIZE - 1, cb);
    std::string text = ReadLogFile();
    EXPECT_EQ(std::string(LOG_LINE_SIZE - 3, 'h') + "\r\n", text);

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
    int iThread = (int)(INT_PTR)pv;
    char line[64];
    int nFailed = 0;
    for (int i = 0; i < LINES_PER_THREAD; ++i) {
        snprintf(line, sizeof line, "thread %d line %04d", iThread, i);
        if (WriteLog(line) < 0)
            ++nFailed;
    }
    return (DWORD)nFailed;
}

TEST_F(Log, TwoThreadsLoseNoLine)
{
    HANDLE hThreads[2];
    for (int i = 0; i < 2; ++i)
        hThreads[i] = CreateThread(NULL, 0, WriteManyLines, (LPVOID)(INT_PTR)i, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, hThreads, TRUE, 60000));
    for (int i = 0; i < 2; ++i) {
        DWORD nFailed = 99;
        GetExitCodeThread(hThreads[i], &nFailed);
        EXPECT_EQ(0u, nFailed);
        CloseHandle(hThreads[i]);
    }
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ((size_t)(2 * LINES_PER_THREAD), lines.size());
    int next[2] = {0, 0};
    for (const std::string &line : lines) {
        int iThread = -1, iLine = -1;
        ASSERT_EQ(2, sscanf(line.c_str(), "thread %d line %d", &iThread, &iLine)) << line;
        ASSERT_TRUE(iThread == 0 || iThread == 1) << line;
        char expected[64];
        snprintf(expected, sizeof expected, "thread %d line %04d", iThread, next[iThread]);
        ASSERT_EQ(expected, line) << "each thread's lines whole and in order";
        ++next[iThread];
    }
}

} // namespace
