// The command-line client against the connection loop running in this process.
#include <gtest/gtest.h>

#include <string>

#include "pipe/protocol.h"
#include "fixtures.h"
#include "version.h"

namespace {

std::string ClientCommand(const std::string &args)
{
    return "\"" + ExeDir() + "\\quorvel-client.exe\" " + args;
}

using Client = LoopTest;

// A monitor's probe: connected and exit echoed, nothing asked.
TEST_F(Client, PingAsksNothingButTheEcho)
{
    hLoop = StartLoopThread();
    std::string out, err;
    EXPECT_EQ(0, RunProgram(ClientCommand("--ping"), "", &out, &err)) << err;
    EXPECT_EQ("quorvel-client: the service answers on " + std::string(PIPE_NAME) + "\r\n", out);
    const Lines expected = LOOP_START_LINES + Lines{"Connected. Waiting for command.\n"} +
                           Tail(ConnectionLines("", ""), 4);
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
    EXPECT_EQ(2, RunProgram(ClientCommand("--ping \"" + words + "\""), "", &out, &err));
}

// Paths read from standard input. The client holds the service only while it
// asks: with its input open and idle after one line, and a blank one after
// it, it has let go, and it comes back for the next line, past a blank one,
// ended by a line feed alone.
TEST_F(Client, AnIdleStandardInputDoesNotHoldTheService)
{
    hLoop = StartLoopThread();
    const std::string line = "\r\n" + words + "\n", reply = wordsReply;
    std::string out, err;
    int code = RunProgram(ClientCommand(""), words + "\r\n\r\n", &out, &err, 30000,
                          [&](HANDLE hInput, HANDLE) {
        EXPECT_EQ("Client exited\n", WaitForLogLines(9).at(6));
        DWORD dwError = 0, cbWritten = 0;
        HANDLE hOther = OpenClient(&dwError, 0);
        EXPECT_NE(INVALID_HANDLE_VALUE, hOther) << "held: error " << dwError;
        CloseHandle(hOther);
        EXPECT_TRUE(WriteFile(hInput, line.data(), (DWORD)line.size(), &cbWritten, NULL));
    });
    EXPECT_EQ(0, code) << err;
    EXPECT_EQ("", err);
    EXPECT_EQ(reply + "\r\n" + reply + "\r\n", out);
}

// Asked by the name of its machine, here this one. Too long, or with a
// character the ANSI code page lacks (U+014D, which a best-fit conversion
// makes "o", naming words.txt), or just "exit", which would end the
// connection: refused. The longest path it can carry is asked, and the
// connection ended with "exit".
TEST_F(Client, RefusesAPathTheProtocolCannotCarry)
{
    hLoop = StartLoopThread();
    std::string out, err;
    std::string tooLong(MAX_REQUEST_LENGTH + 1, 'x'), lookAlike = dir + "\\w\xC5\x8Drds.txt";
    std::string longest(MAX_REQUEST_LENGTH, 'y');
    int code = RunProgram(ClientCommand("--server . " + std::string(EXIT_COMMAND) + " " + tooLong +
                                        " \"" + lookAlike + "\" " + longest + " \"" + words + "\""),
                          "", &out, &err);
    EXPECT_EQ(6, code);
    EXPECT_NE(std::string::npos, err.find("would end the connection")) << err;
    EXPECT_NE(std::string::npos, err.find("path too long")) << err;
    EXPECT_NE(std::string::npos, err.find("code page")) << err;
    EXPECT_EQ(CantOpenReply(longest) + "\r\n" + wordsReply + "\r\n", out)
        << "the other paths still asked";
    const Lines expected = LOOP_START_LINES + Lines{"Connected. Waiting for command.\n",
                           "Received: " + longest + "\n", CantOpenReply(longest)} +
                           Tail(ConnectionLines(words, wordsReply), 6);
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

// Where the ANSI code page is UTF-8, half a surrogate pair has no form in it:
// refused, not sent as U+FFFD.
TEST_F(Client, InAUtf8CodePageRefusesWhatUtf8CannotCarry)
{
    hLoop = StartLoopThread();
    std::string out, err;
    auto Wide = [](const std::string &text) { return std::wstring(text.begin(), text.end()); };
    int code = RunProgram(L"\"" + Wide(ExeDir()) + L"\\quorvel-client-utf8.exe\" \"" + Wide(dir) +
                              L"\\w\xD800rds.txt\" \"" + Wide(words) + L"\"",
                          "", &out, &err);
    EXPECT_EQ(6, code) << out;
    EXPECT_NE(std::string::npos, err.find("code page")) << err;
    EXPECT_EQ(wordsReply + "\r\n", out) << "the other path still asked";
}

// A server that answers "exit" with other text: the connection made no
// sense, and the client says so.
TEST_F(Client, SaysSoWhenExitIsNotEchoed)
{
    HANDLE hServer = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                      (DWORD)PIPE_BUFFER_SIZE, (DWORD)PIPE_BUFFER_SIZE, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hServer) << GetLastError();
    std::string out, err;
    int code = RunProgram(ClientCommand("\"" + words + "\""), "", &out, &err, 30000, [&](HANDLE, HANDLE) {
        ConnectNamedPipe(hServer, NULL);
        for (const std::string &reply : {wordsReply, std::string("bye")}) {
            char szBuf[PIPE_BUFFER_SIZE];
            DWORD cb = 0;
            ReadFile(hServer, szBuf, sizeof szBuf, &cb, NULL);
            WriteFile(hServer, reply.c_str(), (DWORD)reply.size() + 1, &cb, NULL);
        }
    });
    CloseHandle(hServer);
    EXPECT_EQ(5, code);
    EXPECT_NE(std::string::npos, err.find("did not echo")) << err;
    EXPECT_EQ(wordsReply + "\r\n", out);
}

// Its use on --help, and its version; a usage error (2) for an unknown
// option, an option without its value, and a wait it cannot honour: 0xFFFFFFFF
// would mean "wait forever", so the largest value below it is taken.
TEST_F(Client, SaysItsUseAndRefusesWhatItCannotTake)
{
    std::string out, err;
    EXPECT_EQ(0, RunProgram(ClientCommand("--help"), "", &out, &err));
    EXPECT_NE(std::string::npos, out.find("Usage: quorvel-client")) << out;
    std::string version;
    EXPECT_EQ(0, RunProgram(ClientCommand("--version"), "", &version, &err));
    EXPECT_EQ("quorvel-client " QUORVEL_VERSION "\r\n", version);
    for (const char *szBad : {"--bogus", "--wait 5 --server", "--wait", "--wait -1",
                              "--wait 4294967295", "--wait 18446744073709551617", "--wait \"\"",
                              "--wait 10x", "--wait +5"})
        EXPECT_EQ(2, RunProgram(ClientCommand(szBad), "", &out, &err)) << szBad;
    for (const char *szSaid : {"unknown option", "--wait needs a value", "--wait takes milliseconds"})
        EXPECT_NE(std::string::npos, err.find(szSaid)) << err;
    // Taken, and so told that nothing answers, as a path or a probe is.
    for (const char *szArgs : {"--wait 4294967294 x", "--ping"}) {
        std::string none, why;
        EXPECT_EQ(3, RunProgram(ClientCommand(szArgs), "", &none, &why)) << szArgs;
        EXPECT_NE(std::string::npos, why.find("not running")) << why;
        EXPECT_EQ("", none);
    }
}

// It has given up (4) before the busy client leaves, which that does once
// the wait is over and far more than a start of the client takes, yet before
// the shortest wait it could wrongly take, the pipe's default: a client that
// waited longer than asked would then be served.
TEST_F(Client, GivesUpOnABusyServiceAfterItsWait)
{
    hLoop = StartLoopThread();
    const DWORD dwStartMs = PIPE_DEFAULT_TIMEOUT_MS - 1000;
    const struct {
        DWORD dwWaitMs;
        std::string args;
    } cases[] = {{0, "\"" + words + "\""}, {1000, "\"" + words + "\""}, {0, "--ping"}};
    for (const auto &c : cases) {
        HANDLE hFirst = OpenClient();
        ASSERT_NE(INVALID_HANDLE_VALUE, hFirst);
        std::string out, err;
        DWORD dwStart = GetTickCount(), dwElapsed = 0;
        std::string wait = "--wait " + std::to_string(c.dwWaitMs);
        int code = RunProgram(ClientCommand(wait + " " + c.args), "", &out, &err, 30000,
                              [&](HANDLE, HANDLE hProcess) {
                                  WaitForSingleObject(hProcess, c.dwWaitMs + dwStartMs);
                                  dwElapsed = GetTickCount() - dwStart;
                                  EXPECT_EQ(EXIT_COMMAND, SayExit(hFirst));
                              });
        EXPECT_EQ(4, code) << wait << ": " << out;
        EXPECT_NE(std::string::npos, err.find("busy")) << err;
        EXPECT_GE(dwElapsed, c.dwWaitMs);
    }
}

} // namespace
