// Status reporting as units: the record each report leaves behind. Outside the
// service manager SetServiceStatus refuses the reports, but the record is
// filled all the same.
#include <gtest/gtest.h>

#include <string.h>

#include "service/service.h"
#include "service/status.h"

namespace {

class Status : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&ServiceStatus, 0, sizeof ServiceStatus);
        ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        CheckPoint = 1;
    }
};

void ExpectStatus(DWORD dwState, DWORD dwControls, DWORD dwCheckPoint, DWORD dwWaitHint)
{
    EXPECT_EQ(dwState, ServiceStatus.dwCurrentState);
    EXPECT_EQ(dwControls, ServiceStatus.dwControlsAccepted);
    EXPECT_EQ(dwCheckPoint, ServiceStatus.dwCheckPoint);
    EXPECT_EQ(dwWaitHint, ServiceStatus.dwWaitHint);
    EXPECT_EQ((DWORD)NO_ERROR, ServiceStatus.dwWin32ExitCode);
    EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, ServiceStatus.dwServiceType);
}

TEST_F(Status, TheReportsOfANormalRun)
{
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
    ExpectStatus(SERVICE_START_PENDING, 0, 1, START_WAIT_HINT_MS);
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    ExpectStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
    ExpectStatus(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 2, 0);
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
    ExpectStatus(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0);
    EXPECT_EQ(3u, CheckPoint) << "advanced by pending reports only";
}

TEST_F(Status, AnInterrogateWhileRunningChangesNothing)
{
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    ExpectStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    ServiceCtrlHandler(SERVICE_CONTROL_PAUSE);
    ExpectStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    EXPECT_EQ(2u, CheckPoint);
}

// A control while starting, or a second stop while stopping, is answered with
// the pending state again; the stop under way is not run a second time.
TEST_F(Status, AControlWhilePendingResendsThePendingState)
{
    const struct {
        DWORD dwState, dwControl, dwControls, dwWaitHint;
    } cases[] = {{SERVICE_START_PENDING, SERVICE_CONTROL_INTERROGATE, 0, START_WAIT_HINT_MS},
                 {SERVICE_STOP_PENDING, SERVICE_CONTROL_STOP, SERVICE_ACCEPT_STOP,
                  STOP_WAIT_HINT_MS}};
    for (const auto &c : cases) {
        CheckPoint = 1;
        ReportServiceStatus(c.dwState, NO_ERROR, c.dwWaitHint);
        ServiceCtrlHandler(c.dwControl);
        ExpectStatus(c.dwState, c.dwControls, 2, c.dwWaitHint);
        EXPECT_EQ(3u, CheckPoint);
    }
}

TEST_F(Status, AFailedStartCarriesItsReason)
{
    ReportServiceStopped(ERROR_PIPE_BUSY, EXIT_PIPE_SETUP_FAILED);
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, ServiceStatus.dwWin32ExitCode);
    EXPECT_EQ(0u, ServiceStatus.dwServiceSpecificExitCode);
    ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, ServiceStatus.dwWin32ExitCode) << "an interrogate once stopped changes nothing";
    ReportServiceStopped(ERROR_SERVICE_SPECIFIC_ERROR, EXIT_PIPE_SETUP_FAILED);
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ((DWORD)ERROR_SERVICE_SPECIFIC_ERROR, ServiceStatus.dwWin32ExitCode);
    EXPECT_EQ(EXIT_PIPE_SETUP_FAILED, ServiceStatus.dwServiceSpecificExitCode);
}

const int REPORTS_PER_THREAD = 20000;

DWORD WINAPI ReportMany(LPVOID)
{
    for (int i = 0; i < REPORTS_PER_THREAD; ++i)
        ResendServiceStatus();
    return 0;
}

// Start-up and an interrogate can report at the same moment: no advance of
// the check point may be lost.
TEST_F(Status, TwoThreadsReportingAtOnceLoseNoCheckPoint)
{
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
    HANDLE hOther = CreateThread(NULL, 0, ReportMany, NULL, 0, NULL);
    for (int i = 0; i < REPORTS_PER_THREAD; ++i)
        ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hOther, 60000));
    CloseHandle(hOther);
    EXPECT_EQ((DWORD)(2 + 2 * REPORTS_PER_THREAD), CheckPoint);
    EXPECT_EQ((DWORD)SERVICE_START_PENDING, ServiceStatus.dwCurrentState);
    EXPECT_EQ(0u, ServiceStatus.dwControlsAccepted);
}

} // namespace
