// The pipe instance and the connection loop, over real pipes: the loop runs on
// a thread of this process and the tests are its clients.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/log.h"
#include "pipe/instance.h"
#include "pipe/server.h"
#include "fixtures.h"

namespace {

class Pipe : public LoopTest {
protected:
    void Start(bool fCreate = true) { hLoop = StartLoopThread(fCreate); }
};

TEST_F(Pipe, RequestsAreAnsweredInOrder)
{
    Start();
    HANDLE hClient = Connect();
    EXPECT_EQ(CantOpenReply("exits"), Ask(hClient, "exits")) << "only \"exit\" ends it";
    // The log the loop's first line made, through the real open (the log's own
    // cases replace it), lets no one else read it.
    std::string dacl = LogDacl();
    EXPECT_TRUE(dacl.rfind("D:", 0) == 0 && dacl.find(";WD)") == std::string::npos) << dacl;
    // Held by a program that writes it and shares the rest: counted all the
    // same, through the real open (the counter's own cases replace it).
    HANDLE hWriter = CreateFileA(words.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                 FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    CloseHandle(hWriter);
    EXPECT_EQ(CantOpenReply(dir + "\\none"), Ask(hClient, dir + "\\none"));
    // Past MAX_PATH, judged by what the open reached, as the service asks it.
    std::string longPath = MakeLongPathFile(dir, 441, "a b c");
    ASSERT_LE(441u, longPath.size());
    EXPECT_EQ("(Server): file:" + longPath + ", spaces = 2", Ask(hClient, longPath));
    // Past 4 GiB a read's offset needs its high part, through the real reads:
    // one that lost it would read the file's start again. Sparse, so it takes
    // no room: zeros, then spaces.
    std::string past4g = dir + "\\past4g.bin";
    HANDLE hFile = CreateFileA(past4g.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    LARGE_INTEGER ib;
    ib.QuadPart = (1LL << 32) + 100;
    DWORD cb = 0;
    EXPECT_TRUE(SetFilePointerEx(hFile, ib, NULL, FILE_BEGIN) && WriteFile(hFile, "   ", 3, &cb, NULL));
    CloseHandle(hFile);
    EXPECT_EQ("(Server): file:" + past4g + ", spaces = 3", Ask(hClient, past4g));
    DeleteFileA(past4g.c_str());
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
}

// A message is exactly its bytes, with its NUL or without: the stale bytes of
// a longer one before it never show, and a whole buffer without a NUL is still
// bounded. One longer than the buffer is read in two, its rest served as a
// request of its own. Control bytes never make log lines of their own; the
// reply keeps them.
TEST_F(Pipe, AMessageIsExactlyItsBytes)
{
    Start();
    const std::string longer(300, 'L'), full(PIPE_BUFFER_SIZE, 'F'), rest = "rest-of-it";
    const std::string control = dir + "\\x\r\n\t\x01y", shown = dir + "\\x????y";
    HANDLE hClient = Connect();
    auto AskWithoutNul = [&](const std::string &bytes) {
        std::string reply;
        EXPECT_TRUE(SendBytes(hClient, bytes.data(), (DWORD)bytes.size()) &&
                    ReadMessage(hClient, &reply));
        return reply;
    };
    EXPECT_EQ(CantOpenReply(longer), Ask(hClient, longer));
    EXPECT_EQ(wordsReply + '\0', AskWithoutNul(words));
    EXPECT_EQ(CantOpenReply(full) + '\0', AskWithoutNul(full));
    EXPECT_EQ(CantOpenReply(rest), Ask(hClient, std::string(PIPE_BUFFER_SIZE, 'h') + rest));
    EXPECT_EQ(CantOpenReply(control), Ask(hClient, control));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    Lines expected = LOOP_START_LINES + Lines{"Connected. Waiting for command.\n"};
    for (const std::string &path : {longer, words, full, rest}) {
        if (path == rest)
            expected.push_back("ReadFile: Error 234\n");
        expected.push_back("Received: " + path + "\n");
        expected.push_back(path == words ? wordsReply : CantOpenReply(path));
    }
    expected = expected + Tail(ConnectionLines(shown, CantOpenReply(shown)), 6);
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

// 535: the client opened the instance before the loop waited on it.
TEST_F(Pipe, AClientConnectedBeforeTheWaitIsServed)
{
    ASSERT_EQ(0, CreatePipeInstance());
    HANDLE hClient = Connect();
    Start(false);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    const Lines expected =
        LOOP_START_LINES + Lines{EARLY_CLIENT_LINE} + ConnectionLines(words, wordsReply);
    WaitForLogLines(expected.size() - 1);
    EXPECT_EQ(expected, LogLines());
}

DWORD WINAPI DisconnectOnThread(LPVOID)
{
    DisconnectPipeClient();
    return 0;
}

// A disconnect discards what the client has yet to read: letting it go waits,
// within its bound, until it has read the echo of "exit".
TEST_F(Pipe, ADisconnectWaitsForTheClientToReadItsEcho)
{
    ASSERT_EQ(0, CreatePipeInstance());
    HANDLE hClient = OpenClient();
    ASSERT_TRUE(SendText(PipeHandle, EXIT_COMMAND)); // connected: it opened the instance
    HANDLE hThread = CreateThread(NULL, 0, DisconnectOnThread, NULL, 0, NULL);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(hThread, DISCONNECT_FLUSH_WAIT_MS / 4));
    std::string echo;
    EXPECT_TRUE(ReadMessage(hClient, &echo) && echo == std::string(EXIT_COMMAND, sizeof EXIT_COMMAND))
        << "the echo discarded: error " << GetLastError();
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hThread, 5000));
    CloseHandle(hThread);
    CloseHandle(hClient);
    ClosePipeInstance();
}

// 232: a client came and went before the loop waited.
TEST_F(Pipe, AClientGoneBeforeTheWaitGetsTheInstanceReplaced)
{
    ASSERT_EQ(0, CreatePipeInstance());
    CloseHandle(Connect());
    Start(false);
    HANDLE hClient = Connect();
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    const Lines expected = LOOP_START_LINES +
                           Lines{"ConnectNamedPipe: ERROR_NO_DATA", "Error connecting Named Pipe!\n",
                                 "Named Pipe closed!", "Waiting for connect...\n"} +
                           ConnectionLines(words, wordsReply);
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

// Someone else holds the name, allowing one instance: creation fails, and a
// loop started without an instance retries at a growing pace, never waiting
// without one, and serves once the name is free. Under Wine the failure is
// that server's instance limit (231); on Windows our first-instance flag meets
// the name first (5). Wine ignores that flag, so this shows the failure, the
// pacing and the recovery, not the flag.
TEST_F(Pipe, ATakenNameIsRetriedAtAPaceUntilFree)
{
    HANDLE hSquatter = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                        512, 512, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSquatter);
    DWORD dwStart = GetTickCount();
    Start(false);
    const std::string failed = WaitForLogLines(2).at(1);
    EXPECT_TRUE(failed == "CreateNamedPipe: Error 231\n" || failed == "CreateNamedPipe: Error 5\n")
        << failed;
    // Three paced failures take at least the first two pauses; a busy loop
    // would log them within a moment.
    const long FAILURES = 3;
    Lines lines;
    do {
        Sleep(10);
        lines = LogLines();
    } while (std::count(lines.begin(), lines.end(), failed) < FAILURES &&
             GetTickCount() - dwStart < LOOP_STOP_WAIT_MS);
    DWORD dwElapsed = GetTickCount() - dwStart;
    ASSERT_GE(std::count(lines.begin(), lines.end(), failed), FAILURES);
    EXPECT_GE(dwElapsed, CONNECT_RETRY_FIRST_MS * 3);
    EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Error connecting Named Pipe!\n"))
        << "a wait without an instance";

    CloseHandle(hSquatter);
    HANDLE hClient = OpenClient(NULL, CONNECT_RETRY_MAX_MS * 2, true);
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
}

// However long a failure lasts, its pause grows to the cap and stays there:
// a stop or a freed name is never met late, nor a count of 32 bits wrapped.
TEST(RetryPace, GrowsToItsCapAndStays)
{
    DWORD dwPauseMs = NextRetryPauseMs(0);
    EXPECT_EQ(CONNECT_RETRY_FIRST_MS, dwPauseMs);
    for (int i = 0; i < 64; ++i) {
        DWORD dwNextMs = NextRetryPauseMs(dwPauseMs);
        EXPECT_GE(dwNextMs, dwPauseMs);
        EXPECT_LE(dwNextMs, CONNECT_RETRY_MAX_MS);
        dwPauseMs = dwNextMs;
    }
    EXPECT_EQ(CONNECT_RETRY_MAX_MS, dwPauseMs);
}

// The loop must let go of the instance, promptly, without touching it again,
// whether the stop comes before its wait has begun, while it waits (its
// cancel is repeated until the loop is out) or while it reads from a client.
TEST_F(Pipe, AStopLetsGoOfTheInstancePromptly)
{
    for (bool fClient : {false, true}) {
        Start();
        HANDLE hInstance = PipeHandle, hClient = INVALID_HANDLE_VALUE;
        if (fClient) {
            hClient = Connect();
            EXPECT_EQ(wordsReply, Ask(hClient, words));
        }
        DWORD dwStart = GetTickCount();
        size_t nLines = LogLines().size();
        EXPECT_TRUE(StopPipeServer(LOOP_STOP_WAIT_MS)) << fClient;
        EXPECT_EQ(nLines, LogLines().size()) << "the loop logs nothing once told to stop";
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hLoop, LOOP_STOP_WAIT_MS)) << fClient;
        EXPECT_LT(GetTickCount() - dwStart, 2000u) << fClient;
        EXPECT_EQ(hInstance, PipeHandle) << "the stopping side closes it, not the loop";
        if (fClient)
            CloseHandle(hClient);
        EXPECT_TRUE(StopLoopThread(hLoop));
        hLoop = NULL;
    }
}

// A stop that comes between "running" and the loop's start keeps the loop out.
TEST_F(Pipe, StopBeforeTheLoopBeginsKeepsItOut)
{
    ASSERT_EQ(0, CreatePipeInstance());
    ResetPipeServer();
    EXPECT_TRUE(StopPipeServer(LOOP_STOP_WAIT_MS));
    ServePipeClients(); // would block here for good if it began
    EXPECT_EQ(Lines{"Waiting for connect...\n"}, LogLines());
    ClosePipeInstance();
    ResetPipeServer();
}

// What a DACL grants a token holding the SIDs rgSids, by Windows' rule for an
// access check: the entries in order, each for a SID the token holds (an
// inherit-only one for none), generic rights mapped to the file's own; a bit
// once denied is never granted, one once granted stays.
ACCESS_MASK GrantedTo(PACL pDacl, const std::vector<PSID> &rgSids)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    ACCESS_MASK granted = 0, denied = 0;
    for (DWORD i = 0; i < pDacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *pAce = NULL; // a denying entry has the same layout
        if (!GetAce(pDacl, i, (LPVOID *)&pAce) || (pAce->Header.AceFlags & INHERIT_ONLY_ACE))
            continue;
        bool fHeld = false;
        for (PSID pSid : rgSids)
            fHeld = fHeld || EqualSid((PSID)&pAce->SidStart, pSid);
        ACCESS_MASK mask = pAce->Mask;
        MapGenericMask(&mask, &mapping);
        if (fHeld && pAce->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            granted |= mask & ~denied;
        else if (fHeld && pAce->Header.AceType == ACCESS_DENIED_ACE_TYPE)
            denied |= mask & ~granted;
    }
    return granted;
}

// Who may do what by the stored access list; Wine enforces none of it. Any
// user, local or remote, and an anonymous one may talk; none but
// Administrators, SYSTEM and the server's own account (here this process's)
// may take the pipe over: answer in its place, or change who may.
TEST_F(Pipe, TheAccessListLetsEveryoneTalkButNotTakeOver)
{
    Start();
    HANDLE hClient = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, NULL,
                                 OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    PACL pDacl = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    ASSERT_EQ((DWORD)ERROR_SUCCESS,
              GetSecurityInfo(hClient, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                              &pDacl, NULL, &pSd));
    ASSERT_NE(nullptr, pDacl) << "a null DACL would grant everything";

    HANDLE hToken = NULL;
    BYTE rgbUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cbUser = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken));
    ASSERT_TRUE(GetTokenInformation(hToken, TokenUser, rgbUser, sizeof rgbUser, &cbUser));
    CloseHandle(hToken);
    BYTE rgSid[8][SECURITY_MAX_SID_SIZE];
    const WELL_KNOWN_SID_TYPE types[8] = {
        WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinInteractiveSid,
        WinNetworkSid, WinAnonymousSid, WinBuiltinAdministratorsSid, WinLocalSystemSid};
    for (int i = 0; i < 8; ++i) {
        DWORD cbSid = sizeof rgSid[i];
        ASSERT_TRUE(CreateWellKnownSid(types[i], NULL, rgSid[i], &cbSid)) << types[i];
    }
    PSID world = rgSid[0], authenticated = rgSid[1], users = rgSid[2], interactive = rgSid[3],
         network = rgSid[4], anonymous = rgSid[5], admins = rgSid[6], system = rgSid[7];
    PSID own = ((TOKEN_USER *)rgbUser)->User.Sid;
    const ACCESS_MASK talk = FILE_GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_CREATE_PIPE_INSTANCE);
    const ACCESS_MASK takeOver = WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE;
    const struct {
        const char *szWho;
        std::vector<PSID> rgSids;
        bool fTakesOver;
    } cases[] = {{"a local user", {world, authenticated, users, interactive}, false},
                 {"a remote user", {world, authenticated, users, network}, false},
                 {"an anonymous one", {anonymous, network}, false},
                 {"an administrator", {world, authenticated, users, interactive, admins}, true},
                 {"SYSTEM", {system, admins, world, authenticated}, true},
                 {"the server's account", {own, world}, true}};
    for (const auto &c : cases) {
        ACCESS_MASK granted = GrantedTo(pDacl, c.rgSids);
        EXPECT_EQ(talk, granted & talk) << c.szWho;
        EXPECT_EQ(c.fTakesOver ? (ACCESS_MASK)FILE_ALL_ACCESS : 0u,
                  granted & (c.fTakesOver ? FILE_ALL_ACCESS : takeOver))
            << c.szWho;
    }
    LocalFree(pSd);
    CloseHandle(hClient);
}

} // namespace
