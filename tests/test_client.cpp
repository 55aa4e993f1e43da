// The command-line client against the connection loop running in this process.
#include <gtest/gtest.h>

#include <string>

#include "pipe/protocol.h"
#include "support.h"
#include "version.h"

namespace {

std::string ClientCommand(const std::string &args)
{
    return "\"" + ExeDir() + "\\quorvel-client.exe\" " + args;
}

class Client : public LoopTest {
protected:
    Client() : LoopTest("client") {}
};

TEST_F(Client, PrintsOneReplyPerPath)
{
    hLoop = StartLoopThread();
    std::string out, err;
    int code = RunProgram(ClientCommand("\"" + words + "\" \"" + dir + "\\none\""), "", &out, &err);
    EXPECT_EQ(0, code) << err;
    EXPECT_EQ("(Server): file:" + words + ", spaces = 3\r\n(Server)Can't open " + dir +
                  "\\none!\r\n",
              out);
    EXPECT_EQ("", err);
    // It ended its connection with "exit", so the loop replaced the instance.
    std::vector<std::string> lines = WaitForLogLines(11);
    ASSERT_EQ(11u, lines.size());
    EXPECT_EQ("Client exited\n", lines[8]);
}

TEST_F(Client, ReadsPathsFromStandardInput)
{
    hLoop = StartLoopThread();
    std::string out, err;
    int code = RunProgram(ClientCommand(""), words + "\r\n\r\n" + words + "\n", &out, &err);
    EXPECT_EQ(0, code) << err;
    std::string reply = "(Server): file:" + words + ", spaces = 3\r\n";
    EXPECT_EQ(reply + reply, out);
}

TEST_F(Client, RefusesAPathTheProtocolCannotCarry)
{
    hLoop = StartLoopThread();
    std::string out, err;
    std::string tooLong(MAX_REQUEST_LENGTH + 1, 'x');
    int code = RunProgram(ClientCommand(tooLong + " \"" + words + "\""), "", &out, &err);
    EXPECT_EQ(6, code);
    EXPECT_NE(std::string::npos, err.find("path too long")) << err;
    EXPECT_EQ("(Server): file:" + words + ", spaces = 3\r\n", out) << "the other paths still asked";
}

TEST_F(Client, SaysWhenTheServiceIsNotRunning)
{
    std::string out, err;
    int code = RunProgram(ClientCommand("\"" + words + "\""), "", &out, &err);
    EXPECT_EQ(3, code);
    EXPECT_NE(std::string::npos, err.find("not running")) << err;
    EXPECT_EQ("", out);
}

// 0xFFFFFFFF would mean "wait forever"; the largest value below it is taken.
TEST_F(Client, RefusesAWaitItCannotHonour)
{
    std::string out, err;
    for (const char *szBad : {"-1", "4294967295", "18446744073709551617", "\"\"", "10x", "+5"})
        EXPECT_EQ(2, RunProgram(ClientCommand(std::string("--wait ") + szBad), "", &out, &err))
            << szBad;
    EXPECT_EQ(3, RunProgram(ClientCommand("--wait 4294967294 x"), "", &out, &err)) << err;
}

TEST_F(Client, GivesUpOnABusyServiceAfterItsWait)
{
    hLoop = StartLoopThread();
    HANDLE hFirst = OpenClient();
    ASSERT_NE(INVALID_HANDLE_VALUE, hFirst);
    std::string out, err;
    int code = RunProgram(ClientCommand("--wait 300 \"" + words + "\""), "", &out, &err);
    EXPECT_EQ(4, code);
    EXPECT_NE(std::string::npos, err.find("busy")) << err;
    CloseHandle(hFirst);
}

TEST_F(Client, ExplainsItsUse)
{
    std::string out, err;
    EXPECT_EQ(0, RunProgram(ClientCommand("--help"), "", &out, &err));
    EXPECT_NE(std::string::npos, out.find("Usage: quorvel-client")) << out;
    EXPECT_EQ(2, RunProgram(ClientCommand("--bogus"), "", &out, &err));
    std::string version;
    EXPECT_EQ(0, RunProgram(ClientCommand("--version"), "", &version, &err));
    EXPECT_EQ("quorvel-client " QUORVEL_VERSION "\r\n", version);
}

} // namespace
