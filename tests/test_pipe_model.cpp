// How the service keeps the pipe's name where Windows and Wine differ: a model
// of Windows' rule in place of the one call that creates an instance, with
// the real connection loop and real clients around it.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "pipe/create.h"
#include "pipe/instance.h"
#include "pipe/server.h"
#include "fixtures.h"

// The rule: a pipe's name lives while any handle to any of its instances is
// open, a client's end included, and while it lives a creation that asks to
// be the first instance fails with 5. Wine shows the instances; the model
// adds the client ends that outlive their server end (Wine drops the name
// with its last server end), and creations made to fail.
static int ClientEndsLeft, FailuresLeft, FirstInstanceCreations;

HANDLE CreatePipeEnd(LPCSTR szName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                     DWORD cbOutBuffer, DWORD cbInBuffer, DWORD dwDefaultTimeoutMs,
                     LPSECURITY_ATTRIBUTES psa)
{
    bool fFirst = (dwOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0;
    FirstInstanceCreations += fFirst;
    bool fLives = ClientEndsLeft > 0 || WaitNamedPipeA(szName, 1) ||
                  GetLastError() != ERROR_FILE_NOT_FOUND;
    if (FailuresLeft > 0 || (fFirst && fLives)) {
        SetLastError(FailuresLeft > 0 ? ERROR_NO_SYSTEM_RESOURCES : ERROR_ACCESS_DENIED);
        FailuresLeft -= (FailuresLeft > 0);
        return INVALID_HANDLE_VALUE;
    }
    return CreateNamedPipeA(szName, dwOpenMode & ~FILE_FLAG_FIRST_PIPE_INSTANCE, dwPipeMode,
                            nMaxInstances, cbOutBuffer, cbInBuffer, dwDefaultTimeoutMs, psa);
}

namespace {

class PipeModel : public LoopTest {
protected:
    PipeModel() : LoopTest("model") {}
    void SetUp() override
    {
        LoopTest::SetUp();
        ClientEndsLeft = FailuresLeft = FirstInstanceCreations = 0;
    }
    // One client, opened without waiting for the name, which must never lapse:
    // a request and "exit". Returns the lines the connection logs, up to the
    // renewal of the instance.
    Lines AskAndLeave()
    {
        DWORD dwError = 0;
        HANDLE hClient = OpenClient(&dwError);
        EXPECT_NE(INVALID_HANDLE_VALUE, hClient) << dwError;
        std::string reply = "(Server): file:" + words + ", spaces = 3";
        EXPECT_EQ(reply, Ask(hClient, words));
        EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
        return {"Connected. Waiting for command.\n", "Received: " + words + "\n", reply,
                "Received: exit\n", "Client exited\n"};
    }
};

// As at an upgrade's restart: the old loop stops while one of its clients is
// still connected, and a creation asking to be first then joins that name.
TEST_F(PipeModel, ACreationJoinsANameOnlyAClientOfTheLastLoopHolds)
{
    hLoop = StartLoopThread();
    HANDLE hOld = OpenClient();
    EXPECT_NE(INVALID_HANDLE_VALUE, hOld);
    ASSERT_TRUE(StopLoopThread(hLoop));
    hLoop = NULL;
    ClientEndsLeft = 1;
    ASSERT_EQ(0, CreatePipeInstance()) << GetLastError();
    hLoop = StartLoopThread(false);
    AskAndLeave();
    CloseHandle(hOld);
    EXPECT_EQ(2, FirstInstanceCreations) << "each start asks to be the first";
}

// A name another account made (Wine lets the test make the system's account
// its owner): joining it is refused as the first-instance creation was.
TEST_F(PipeModel, ANameOfAnotherOwnerIsRefused)
{
    PSECURITY_DESCRIPTOR pSd = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:SYD:(A;;FA;;;WD)",
                                                                     SDDL_REVISION_1, &pSd, NULL));
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSd, FALSE};
    HANDLE hForeign = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 9, 512,
                                       512, 0, &sa);
    LocalFree(pSd);
    EXPECT_EQ(-1, CreatePipeInstance());
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(Lines{"CreateNamedPipe: Error 5\n"}, LogLines());
    CloseHandle(hForeign);
}

// The next instance cannot be made: the served one is kept and serves the
// next client; a creation is tried again once its pause has passed.
TEST_F(PipeModel, AFailedRecreationKeepsServing)
{
    hLoop = StartLoopThread();
    FailuresLeft = 1;
    Lines expected = {"Waiting for connect...\n", "Named pipe server\n"};
    for (const std::string &line : AskAndLeave())
        expected.push_back(line);
    expected.push_back("CreateNamedPipe: Error " + std::to_string(ERROR_NO_SYSTEM_RESOURCES) + "\n");
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));

    Sleep(CONNECT_RETRY_FIRST_MS * 4);
    for (const std::string &line : AskAndLeave())
        expected.push_back(line);
    expected.push_back("Named Pipe closed!");
    expected.push_back("Waiting for connect...\n");
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
    EXPECT_EQ(1, FirstInstanceCreations) << "the first-instance flag only at start";
}

} // namespace
