// How the service keeps the pipe's name where Windows and Wine differ: a model
// of Windows' rules in place of the one call that creates an instance, of the
// flush before a client is let go and of the token's answers, with the real
// connection loop and real clients around.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "pipe/instance.h"
#include "pipe/owner.h"
#include "pipe/seams_win.h"
#include "pipe/server.h"
#include "fixtures.h"

// The rule: a pipe's name lives while any handle to any of its instances is
// open, a client's end included, and while it lives a creation that asks to
// be the first instance fails with 5, and one that does not joins the name
// and takes its owner. Wine shows the instances and the joining, but drops
// the name with its last server end: where a client of an earlier run holds
// its end, the model holds a real instance made with that run's descriptor
// (HoldName). It also makes creations fail on demand, and counts the
// creations that were not the first yet found no name to join: each a moment
// in which anyone could have taken it. And, by the documented rule that a
// mode with PIPE_REJECT_REMOTE_CLIENTS refuses every client of another
// machine (Wine has none), the creations that would refuse `--server`.
static int FailuresLeft, FirstInstanceCreations, Joins, LapsedCreations, RemoteRefusals;
// Whether the token holds a service SID, as Windows gives a service with a
// SID type of its own and Wine none, and whether it may own what the process
// creates (SE_GROUP_OWNER). Then the groups are a service's, in its token's
// order: its SID among many, after a deny-only one and that of all services.
enum ServiceSid { NoServiceSid, ServiceSidOwns, ServiceSidOnly };
static ServiceSid TokenServiceSid;
static const DWORD GROUP_ON = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
static const struct {
    const char *szSid;
    DWORD dwAttributes;
} SERVICE_GROUPS[] = {{"S-1-1-0", GROUP_ON},
                      {"S-1-5-32-545", GROUP_ON},
                      {"S-1-5-6", GROUP_ON},
                      {"S-1-2-1", GROUP_ON},
                      {"S-1-5-11", GROUP_ON},
                      {"S-1-5-80-9-9-9-9-9", SE_GROUP_USE_FOR_DENY_ONLY},
                      {"S-1-5-80-0", GROUP_ON},
                      {"S-1-5-80-1-2-3-4-5", SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED},
                      {"S-1-5-5-0-4242", GROUP_ON | SE_GROUP_LOGON_ID},
                      {"S-1-2-0", GROUP_ON}};
static const size_t OUR_GROUP = 7;

HANDLE CreatePipeEnd(LPCSTR szName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                     DWORD cbOutBuffer, DWORD cbInBuffer, DWORD dwDefaultTimeoutMs,
                     LPSECURITY_ATTRIBUTES psa)
{
    bool fFirst = (dwOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0;
    FirstInstanceCreations += fFirst;
    bool fLives = WaitNamedPipeA(szName, 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
    Joins += !fFirst && fLives;
    LapsedCreations += !fFirst && !fLives;
    RemoteRefusals += (dwPipeMode & PIPE_REJECT_REMOTE_CLIENTS) != 0;
    if (FailuresLeft > 0 || (fFirst && fLives)) {
        SetLastError(FailuresLeft > 0 ? ERROR_NO_SYSTEM_RESOURCES : ERROR_ACCESS_DENIED);
        FailuresLeft -= (FailuresLeft > 0);
        return INVALID_HANDLE_VALUE;
    }
    return CreateNamedPipeA(szName, dwOpenMode & ~FILE_FLAG_FIRST_PIPE_INSTANCE, dwPipeMode,
                            nMaxInstances, cbOutBuffer, cbInBuffer, dwDefaultTimeoutMs, psa);
}

// The flush before a client is let go. FlushesBegun counts the flushes come to.
// With ModelFlushHeldUp, the loop's thread is held up before it flushes in a
// read of a pipe nobody writes to, which only a cancel ends: the bound's
// first cancel is spent before the flush is under way, whatever the timing.
static volatile LONG FlushesBegun;
static bool ModelFlushHeldUp;

BOOL FlushPipeEnd(HANDLE hPipe)
{
    InterlockedIncrement(&FlushesBegun);
    HANDLE hRead, hWrite;
    if (ModelFlushHeldUp && CreatePipe(&hRead, &hWrite, NULL, 0)) {
        char ch;
        DWORD cb;
        ReadFile(hRead, &ch, 1, &cb, NULL);
        CloseHandle(hRead);
        CloseHandle(hWrite);
    }
    return FlushFileBuffers(hPipe);
}

BOOL QueryProcessToken(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, LPVOID pvInfo,
                       DWORD cbInfo, DWORD *pcbNeeded)
{
    const DWORD nGroups = sizeof SERVICE_GROUPS / sizeof SERVICE_GROUPS[0];
    static PSID rgpSids[nGroups];
    if (TokenServiceSid == NoServiceSid || infoClass != TokenGroups)
        return GetTokenInformation(hToken, infoClass, pvInfo, cbInfo, pcbNeeded);
    *pcbNeeded = (DWORD)(sizeof(TOKEN_GROUPS) + nGroups * sizeof(SID_AND_ATTRIBUTES));
    if (cbInfo < *pcbNeeded) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_GROUPS *pGroups = (TOKEN_GROUPS *)pvInfo;
    pGroups->GroupCount = nGroups;
    for (DWORD i = 0; i < nGroups; ++i) {
        if (rgpSids[i] == NULL)
            ConvertStringSidToSidA(SERVICE_GROUPS[i].szSid, &rgpSids[i]);
        pGroups->Groups[i].Sid = rgpSids[i];
        pGroups->Groups[i].Attributes =
            SERVICE_GROUPS[i].dwAttributes |
            (i == OUR_GROUP && TokenServiceSid == ServiceSidOwns ? SE_GROUP_OWNER : 0);
    }
    return TRUE;
}

namespace {

// Holds the pipe's name as a client of an earlier run keeps it on Windows: an
// instance made with that run's descriptor, or, with NULL, one that joins the
// name as it is now. A client comes and goes at once, so that, as there, no
// later client can connect to it.
HANDLE HoldName(const char *szSddl)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    EXPECT_TRUE(szSddl == NULL || ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                      szSddl, SDDL_REVISION_1, &pSd, NULL));
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSd, FALSE};
    HANDLE hName = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                    PIPE_UNLIMITED_INSTANCES, 512, 512, 0, &sa);
    EXPECT_NE(INVALID_HANDLE_VALUE, hName) << GetLastError();
    LocalFree(pSd);
    CloseHandle(CreateFileA(PIPE_NAME, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    return hName;
}

class PipeModel : public LoopTest {
protected:
    void SetUp() override
    {
        LoopTest::SetUp();
        once = ConnectionLines(words, wordsReply);
        FailuresLeft = FirstInstanceCreations = Joins = LapsedCreations = RemoteRefusals = 0;
        FlushesBegun = 0;
        ModelFlushHeldUp = false;
        TokenServiceSid = NoServiceSid;
    }
    // One client, opened without waiting for the name, which must never lapse:
    // a request and "exit".
    void AskAndLeave()
    {
        HANDLE hClient = Connect();
        EXPECT_EQ(wordsReply, Ask(hClient, words));
        EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    }
    // The lines of one connection (ConnectionLines) as AskAndLeave makes it.
    Lines once;
};

// As at an upgrade's restart: the old loop stops while a client of it stays
// connected, so the name lives on with the owner that loop gave it (here its
// service SID), and the new start joins it.
TEST_F(PipeModel, AStartJoinsTheNameItsLastRunLeft)
{
    TokenServiceSid = ServiceSidOwns;
    hLoop = StartLoopThread();
    HANDLE hOld = Connect();
    HANDLE hName = HoldName(NULL);
    ASSERT_TRUE(StopLoopThread(hLoop));
    hLoop = NULL;
    ASSERT_EQ(0, CreatePipeInstance()) << GetLastError();
    EXPECT_EQ(1, Joins) << "the name lived on, and was joined";
    hLoop = StartLoopThread(false);
    AskAndLeave();
    CloseHandle(hOld);
    CloseHandle(hName);
    EXPECT_EQ(2, FirstInstanceCreations) << "each start asks to be the first";
}

// Every instance after the first is made while the old one still holds the
// name, whether its client said "exit" or just left (logged once, as the read
// that failed): never a moment without it.
TEST_F(PipeModel, TheNameNeverLapsesBetweenClients)
{
    hLoop = StartLoopThread();
    AskAndLeave();
    HANDLE hClient = Connect();
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    CloseHandle(hClient);
    AskAndLeave();
    // Served: the instance after the last client's has been made.
    hClient = Connect();
    EXPECT_EQ(0, LapsedCreations);
    EXPECT_EQ(3, Joins) << "one next instance per client";
    EXPECT_EQ(0, RemoteRefusals) << "a client of another machine is served too";
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    const Lines left = Lines(once.begin(), once.begin() + 3) + Lines{"ReadFile: Error 109\n"} +
                       Tail(once, 2);
    const Lines expected = LOOP_START_LINES + once + left + once + once;
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

// A name someone else made, while one of its clients stays connected, is
// joined only when its owner is ours. The system's is not; the account's
// default owner, which 1.0.0 gave the name, is ours only while the token
// holds no service SID that may own what we make.
TEST_F(PipeModel, OnlyANameWeOwnIsJoined)
{
    const struct {
        const char *szSddl;
        ServiceSid sid;
        bool fJoined;
    } cases[] = {{"O:SYD:(A;;FA;;;WD)", NoServiceSid, false},
                 {"D:(A;;FA;;;WD)", ServiceSidOwns, false},
                 {"D:(A;;FA;;;WD)", ServiceSidOnly, true},
                 {"D:(A;;FA;;;WD)", NoServiceSid, true}};
    for (const auto &c : cases) {
        TokenServiceSid = c.sid;
        HANDLE hName = HoldName(c.szSddl);
        DeleteLogFile();
        EXPECT_EQ(c.fJoined ? 0 : -1, CreatePipeInstance()) << c.szSddl << " " << c.sid;
        EXPECT_EQ(Lines{c.fJoined ? "Waiting for connect...\n" : "CreateNamedPipe: Error 5\n"},
                  LogLines());
        ClosePipeInstance();
        CloseHandle(hName);
    }
}

// The next instance cannot be made: the served one is kept and serves the
// next client; a creation is tried again once its pause has passed.
TEST_F(PipeModel, AFailedRecreationKeepsServing)
{
    hLoop = StartLoopThread();
    FailuresLeft = 1;
    AskAndLeave();
    Lines expected = LOOP_START_LINES + Lines(once.begin(), once.end() - 2) +
                     Lines{"CreateNamedPipe: Error " + std::to_string(ERROR_NO_SYSTEM_RESOURCES) + "\n"};
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));

    Sleep(CONNECT_RETRY_FIRST_MS * 4);
    AskAndLeave();
    expected = expected + once;
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

// While no next instance can be made, the served one is disconnected and
// reused, which discards what its client has yet to read: a client that reads
// its echo late, once the loop has come to the flush, still gets it; one that
// never reads holds the service only for the flush's bound, even where the
// loop comes to the flush after the bound's first cancel.
TEST_F(PipeModel, AnEchoWaitsForALateReaderButNotForOneThatNeverReads)
{
    hLoop = StartLoopThread();
    FailuresLeft = 1000;
    HANDLE hLate = Connect();
    ASSERT_TRUE(SendText(hLate, EXIT_COMMAND));
    for (DWORD dwStart = GetTickCount(); !FlushesBegun && GetTickCount() - dwStart < 5000;)
        Sleep(1);
    EXPECT_EQ(1, FlushesBegun);
    std::string echo;
    EXPECT_TRUE(ReadMessage(hLate, &echo)) << GetLastError();
    EXPECT_EQ(std::string(EXIT_COMMAND, sizeof EXIT_COMMAND), echo);
    CloseHandle(hLate);

    HANDLE hSilent = Connect();
    ModelFlushHeldUp = true;
    ASSERT_TRUE(SendText(hSilent, EXIT_COMMAND));
    HANDLE hNext = OpenClient(NULL, DISCONNECT_FLUSH_WAIT_MS * 5);
    ASSERT_NE(INVALID_HANDLE_VALUE, hNext) << "held by a client that never reads";
    EXPECT_EQ(wordsReply, Ask(hNext, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hNext));
    CloseHandle(hSilent);
}

} // namespace
