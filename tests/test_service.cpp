// The service end to end under the real service manager: registered, started,
// asked, interrogated and stopped as an administrator would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipe/protocol.h"
#include "service/service.h"
#include "fixtures.h"

namespace {

// An interrogate leaves it running and logs nothing.
TEST_F(Service, StartsRunsAndAnswers)
{
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    EXPECT_EQ((DWORD)SERVICE_ACCEPT_STOP, ssp.dwControlsAccepted);
    EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, ssp.dwServiceType);
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(hService, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ((DWORD)SERVICE_RUNNING, status.dwCurrentState);
    EXPECT_EQ((DWORD)SERVICE_RUNNING, Query().dwCurrentState);
    EXPECT_EQ(START_LINES, LogLines());

    EXPECT_EQ(wordsReply + "\r\n", Ask(words));
    EXPECT_EQ("(Server)Can't open " + dir + "\\none!\r\n", Ask(dir + "\\none"));
}

// Someone else holds the pipe's name, allowing one instance: the start fails
// and the manager shows why. Under Wine the reason is that server's limit
// (231); on Windows our first-instance flag meets the name first (5).
TEST_F(Service, AFailedStartShowsWhy)
{
    HANDLE hSquatter = CreateNamedPipeA(PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                        512, 512, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSquatter);
    // Through the script an administrator runs, which must say so too.
    std::string out, err;
    int code = RunProgram("cmd.exe /c \"\"" + ExeDir() + "\\start-service.cmd\"\"", "", &out, &err);
    SERVICE_STATUS_PROCESS ssp = WaitForState(SERVICE_STOPPED);
    CloseHandle(hSquatter);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ssp.dwCurrentState);
    DWORD dwExit = ssp.dwWin32ExitCode;
    EXPECT_TRUE(dwExit == ERROR_PIPE_BUSY || dwExit == ERROR_ACCESS_DENIED) << dwExit;
    EXPECT_EQ((int)dwExit, code) << out;
    EXPECT_NE(std::string::npos, out.find("stopped instead of starting, with exit code " +
                                          std::to_string(dwExit)))
        << out;
    Lines expected = Lines{"Quorvel service entry point", "Quorvel Service starting...",
                           "CreateNamedPipe: Error " + std::to_string(dwExit) + "\n",
                           "Error init Quorvel server -1"} +
                     STOP_LINES;
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));
}

} // namespace
