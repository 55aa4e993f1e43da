// The pipe instance and the connection loop, over real pipes: the loop runs on
// a thread of this process and the tests are its clients.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "pipe/instance.h"
#include "pipe/server.h"
#include "support.h"

namespace {

typedef std::vector<std::string> Lines;

// The lines one connection with one path request writes.
Lines OneConnection(const std::string &path, const std::string &reply)
{
    return {"Connected. Waiting for command.\n", "Received: " + path + "\n", reply,
            "Received: exit\n", "Client exited\n", "Named Pipe closed!",
            "Waiting for connect...\n"};
}

size_t CountLines(const Lines &lines, const std::string &line)
{
    size_t n = 0;
    for (const std::string &l : lines)
        n += (l == line);
    return n;
}

class Pipe : public LoopTest {
protected:
    Pipe() : LoopTest("pipe") {}
    void SetUp() override
    {
        LoopTest::SetUp();
        wordsReply = "(Server): file:" + words + ", spaces = 3";
    }
    void Start(bool fCreate = true) { hLoop = StartLoopThread(fCreate); }
    // Ends a connection politely and checks the echo.
    void SayExit(HANDLE hClient)
    {
        std::string echo;
        ASSERT_TRUE(SendText(hClient, "exit"));
        ASSERT_TRUE(ReadMessage(hClient, &echo));
        EXPECT_EQ(std::string("exit", 5), echo);
        CloseHandle(hClient);
    }
    std::string wordsReply;
};

TEST_F(Pipe, OneConnectionIsServedAndLogged)
{
    Start();
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    std::string reply;
    ASSERT_TRUE(SendText(hClient, words));
    ASSERT_TRUE(ReadMessage(hClient, &reply));
    EXPECT_EQ(wordsReply + std::string(1, '\0'), reply) << "one message of strlen + 1 bytes";
    SayExit(hClient);

    Lines expected = {"Waiting for connect...\n", "Named pipe server\n"};
    for (const std::string &line : OneConnection(words, wordsReply))
        expected.push_back(line);
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

TEST_F(Pipe, RequestsAreAnsweredInOrder)
{
    Start();
    std::string tabs = dir + "\\tabs.txt";
    ASSERT_TRUE(WriteWholeFile(tabs, "\t \t"));
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    EXPECT_EQ("(Server): file:" + tabs + ", spaces = 1", Ask(hClient, tabs));
    EXPECT_EQ("(Server)Can't open " + dir + "\\none!", Ask(hClient, dir + "\\none"));
    SayExit(hClient);
}

TEST_F(Pipe, AfterExitTheNextClientGetsAFreshInstance)
{
    Start();
    for (int iClient = 0; iClient < 3; ++iClient) {
        DWORD dwError = 0;
        HANDLE hClient = OpenClient(&dwError);
        ASSERT_NE(INVALID_HANDLE_VALUE, hClient) << "client " << iClient << " error " << dwError;
        EXPECT_EQ(wordsReply, Ask(hClient, words));
        SayExit(hClient);
    }
    EXPECT_EQ(3u, CountLines(WaitForLogLines(2 + 3 * 7), "Client exited\n"));
}

TEST_F(Pipe, ASecondClientIsBusyUntilTheFirstLeaves)
{
    Start();
    HANDLE hFirst = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hFirst);
    EXPECT_EQ(wordsReply, Ask(hFirst, words));

    DWORD dwError = 0;
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenClient(&dwError, 0));
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, dwError);

    SayExit(hFirst);
    HANDLE hSecond = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
    EXPECT_EQ(wordsReply, Ask(hSecond, words));
    SayExit(hSecond);
}

TEST_F(Pipe, AFullBufferRequestIsServed)
{
    Start();
    std::string path(MAX_REQUEST_LENGTH, 'x');
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    // 511 characters and the NUL: exactly the 512-byte buffer.
    EXPECT_EQ("(Server)Can't open " + path + "!", Ask(hClient, path));
    SayExit(hClient);
    Lines lines = WaitForLogLines(5);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ("Received: " + path + "\n", lines[3]) << "logged whole";
    EXPECT_EQ("(Server)Can't open " + path + "!", lines[4]);
}

TEST_F(Pipe, ALongerMessageIsReadInTwo)
{
    Start();
    std::string head(PIPE_BUFFER_SIZE, 'h');
    std::string rest = "rest-of-it";
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    // Its rest is served as a request of its own.
    EXPECT_EQ("(Server)Can't open " + rest + "!", Ask(hClient, head + rest));
    SayExit(hClient);
    Lines lines = WaitForLogLines(6);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ("ReadFile: Error 234\n", lines[3]);
    EXPECT_EQ("Received: " + rest + "\n", lines[4]);
}

TEST_F(Pipe, AMessageWithoutNulIsExactlyItsBytes)
{
    Start();
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    std::string longer(300, 'L');
    EXPECT_EQ("(Server)Can't open " + longer + "!", Ask(hClient, longer));
    // No NUL: the stale bytes of the longer request must not show.
    ASSERT_TRUE(SendBytes(hClient, words.data(), (DWORD)words.size()));
    std::string reply;
    ASSERT_TRUE(ReadMessage(hClient, &reply));
    EXPECT_EQ(wordsReply + std::string(1, '\0'), reply);
    // A whole buffer without a NUL is still bounded.
    std::string full(PIPE_BUFFER_SIZE, 'F');
    ASSERT_TRUE(SendBytes(hClient, full.data(), (DWORD)full.size()));
    ASSERT_TRUE(ReadMessage(hClient, &reply));
    EXPECT_EQ("(Server)Can't open " + full + "!" + std::string(1, '\0'), reply);
    SayExit(hClient);
}

TEST_F(Pipe, AClientThatLeavesWithoutExitEndsItsConnection)
{
    Start();
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    CloseHandle(hClient);

    // Logged once; the instance is replaced and the next client served.
    Lines lines = WaitForLogLines(8);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ("ReadFile: Error 109\n", lines[5]);
    EXPECT_EQ("Named Pipe closed!", lines[6]);
    EXPECT_EQ("Waiting for connect...\n", lines[7]);
    hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    SayExit(hClient);
    EXPECT_EQ(1u, CountLines(LogLines(), "ReadFile: Error 109\n"));
}

// 535: the client opened the instance before the loop waited on it.
TEST_F(Pipe, AClientConnectedBeforeTheWaitIsServed)
{
    ASSERT_EQ(0, CreatePipeInstance());
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    Start(false);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    SayExit(hClient);
    Lines lines = WaitForLogLines(4);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ("ConnectNamedPipe: ERROR_PIPE_CONNECTED", lines[2]);
    EXPECT_EQ("Connected. Waiting for command.\n", lines[3]);
}

// 232: a client came and went before the loop waited.
TEST_F(Pipe, AClientGoneBeforeTheWaitGetsTheInstanceReplaced)
{
    ASSERT_EQ(0, CreatePipeInstance());
    HANDLE hGone = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hGone);
    CloseHandle(hGone);
    Start(false);
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    SayExit(hClient);
    Lines lines = WaitForLogLines(7);
    Lines expected = {"Waiting for connect...\n", "Named pipe server\n",
                      "ConnectNamedPipe: ERROR_NO_DATA", "Error connecting Named Pipe!\n",
                      "Named Pipe closed!", "Waiting for connect...\n",
                      "Connected. Waiting for command.\n"};
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(expected, Lines(lines.begin(), lines.begin() + expected.size()));
}

// Someone else holds the name with one instance allowed: creation fails with
// its code, the loop retries at a growing pace, and serves once the name is free.
TEST_F(Pipe, ATakenNameIsRetriedAtAPaceUntilFree)
{
    HANDLE hSquatter = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                        512, 512, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSquatter);
    EXPECT_EQ(-1, CreatePipeInstance());
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, PipeHandle);
    EXPECT_EQ("CreateNamedPipe: Error 231\n", LogLines().at(0));

    Start(false);
    const DWORD WATCH_MS = 1500;
    Sleep(WATCH_MS);
    size_t nFailures = CountLines(LogLines(), "Error connecting Named Pipe!\n");
    // Paced from CONNECT_RETRY_FIRST_MS, doubling: a busy loop would log thousands.
    EXPECT_GE(nFailures, 2u);
    EXPECT_LE(nFailures, 6u);
    EXPECT_GE(CountLines(LogLines(), "CreateNamedPipe: Error 231\n"), 2u);

    CloseHandle(hSquatter);
    HANDLE hClient = OpenClient(NULL, CONNECT_RETRY_MAX_MS * 2);
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    SayExit(hClient);
}

TEST_F(Pipe, CloseLogsWithOrWithoutAnInstance)
{
    ASSERT_EQ(0, CreatePipeInstance());
    EXPECT_NE(INVALID_HANDLE_VALUE, PipeHandle);
    ClosePipeInstance();
    EXPECT_EQ(INVALID_HANDLE_VALUE, PipeHandle);
    ClosePipeInstance();
    Lines expected = {"Waiting for connect...\n", "Named Pipe closed!", "Named Pipe closed!"};
    EXPECT_EQ(expected, LogLines());
}

// The loop must let go of the instance, promptly, without touching it again.
void CheckStop(HANDLE hLoop, HANDLE hInstance)
{
    DWORD dwStart = GetTickCount();
    EXPECT_TRUE(StopPipeServer(LOOP_STOP_WAIT_MS));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hLoop, LOOP_STOP_WAIT_MS));
    EXPECT_LT(GetTickCount() - dwStart, 2000u);
    EXPECT_EQ(hInstance, PipeHandle) << "the stopping side closes it, not the loop";
    size_t nLines = LogLines().size();
    Sleep(100);
    EXPECT_EQ(nLines, LogLines().size()) << "nothing more from the loop";
}

TEST_F(Pipe, StopWhileWaitingForAClient)
{
    Start();
    HANDLE hInstance = PipeHandle;
    Sleep(100);
    CheckStop(hLoop, hInstance);
}

TEST_F(Pipe, StopWhileReadingFromAClient)
{
    Start();
    HANDLE hInstance = PipeHandle;
    HANDLE hClient = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient);
    EXPECT_EQ(wordsReply, Ask(hClient, words));
    CheckStop(hLoop, hInstance);
    CloseHandle(hClient);
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

struct AceSummary {
    bool fFound;
    ACCESS_MASK mask;
};

AceSummary AllowedFor(PACL pDacl, WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof sid;
    AceSummary summary = {false, 0};
    if (!CreateWellKnownSid(type, NULL, sid, &cbSid))
        return summary;
    for (DWORD i = 0; i < pDacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *pAce = NULL;
        if (!GetAce(pDacl, i, (LPVOID *)&pAce) || pAce->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        if (EqualSid((PSID)&pAce->SidStart, (PSID)sid)) {
            summary.fFound = true;
            summary.mask |= pAce->Mask;
        }
    }
    return summary;
}

TEST_F(Pipe, EveryoneMayTalkButNotTakeOver)
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
    const ACCESS_MASK talk = FILE_GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_CREATE_PIPE_INSTANCE);
    const ACCESS_MASK takeOver = WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE;
    const WELL_KNOWN_SID_TYPE clients[] = {WinWorldSid, WinAnonymousSid};
    for (WELL_KNOWN_SID_TYPE type : clients) {
        AceSummary ace = AllowedFor(pDacl, type);
        EXPECT_TRUE(ace.fFound) << "sid type " << type;
        EXPECT_EQ(talk, ace.mask & talk) << "sid type " << type;
        EXPECT_EQ(0u, ace.mask & takeOver) << "sid type " << type;
    }
    LocalFree(pSd);
    CloseHandle(hClient);
}

} // namespace
