// The service's program started from a command line instead of by the
// service manager: it logs why and ends with that code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

// Whether the manager is still starting a service: its own auto-start ones
// right after a session began. A dispatcher called from a console then may be
// handed that start.
bool AServiceIsStarting(void)
{
    SC_HANDLE hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ENUMERATE_SERVICE);
    if (hManager == NULL)
        return false;
    BYTE rgb[64 * 1024];
    DWORD cbNeeded = 0, nServices = 0, iResume = 0;
    bool fStarting = false;
    if (EnumServicesStatusExA(hManager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, rgb,
                              sizeof rgb, &cbNeeded, &nServices, &iResume, NULL)) {
        ENUM_SERVICE_STATUS_PROCESSA *pServices = (ENUM_SERVICE_STATUS_PROCESSA *)rgb;
        for (DWORD i = 0; i < nServices; ++i)
            fStarting |= pServices[i].ServiceStatusProcess.dwCurrentState == SERVICE_START_PENDING;
    }
    CloseServiceHandle(hManager);
    return fStarting;
}

TEST(Console, AConsoleStartLogsAndFails)
{
    ASSERT_EQ("", CleanMachine());
    DWORD dwStart = GetTickCount();
    while (AServiceIsStarting() && GetTickCount() - dwStart < LEFTOVER_WAIT_MS)
        Sleep(20);
    ASSERT_FALSE(AServiceIsStarting()) << "the session never settled";
    std::string out, err;
    int code = RunProgram("\"" + ExeDir() + "\\quorvel-service.exe\"", "", &out, &err, 60000);
    EXPECT_EQ(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, code);
    std::vector<std::string> expected = {"Quorvel service entry point",
                                         "StartServiceCtrlDispatcher: Error 1063\n"};
    EXPECT_EQ(expected, LogLines());
    EXPECT_EQ("", out + err) << "no console output";
}

} // namespace
