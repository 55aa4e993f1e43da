// Status reporting as units: the record each report leaves behind. Outside the
// service manager SetServiceStatus refuses the reports, but the record is
// filled all the same.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "service/seams_win.h"
#include "service/service.h"
#include "service/status.h"
#include "support.h"

// Every report as the manager would get it; then the platform's own answer.
static std::vector<SERVICE_STATUS> Reports;

BOOL SendServiceStatus(SERVICE_STATUS_HANDLE hStatus, LPSERVICE_STATUS pStatus)
{
    Reports.push_back(*pStatus);
    return SetServiceStatus(hStatus, pStatus);
}

namespace {

class Status : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&ServiceStatus, 0, sizeof ServiceStatus);
        CheckPoint = 1;
    }
};

// A control that changes nothing, while running, starting or stopping (a
// second stop), is answered with the state as it is; a pending state shows
// its progress once more, and the stop under way is not run a second time.
TEST_F(Status, AControlThatChangesNothingResendsTheState)
{
    const struct {
        DWORD dwState, dwControl, dwControls, dwWaitHint, dwCheckPoint;
    } cases[] = {{SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, SERVICE_ACCEPT_STOP, 0, 0},
                 {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, SERVICE_ACCEPT_STOP, 0, 0},
                 {SERVICE_START_PENDING, SERVICE_CONTROL_INTERROGATE, 0, START_WAIT_HINT_MS, 2},
                 {SERVICE_STOP_PENDING, SERVICE_CONTROL_STOP, SERVICE_ACCEPT_STOP,
                  STOP_WAIT_HINT_MS, 2}};
    for (const auto &c : cases) {
        CheckPoint = 1;
        ReportServiceStatus(c.dwState, NO_ERROR, c.dwWaitHint);
        ServiceCtrlHandler(c.dwControl);
        EXPECT_EQ(c.dwState, ServiceStatus.dwCurrentState);
        EXPECT_EQ(c.dwControls, ServiceStatus.dwControlsAccepted);
        EXPECT_EQ(c.dwCheckPoint, ServiceStatus.dwCheckPoint);
        EXPECT_EQ(c.dwWaitHint, ServiceStatus.dwWaitHint);
        EXPECT_EQ((DWORD)NO_ERROR, ServiceStatus.dwWin32ExitCode);
        EXPECT_EQ(c.dwCheckPoint ? 3u : 1u, CheckPoint) << "advanced by pending reports only";
    }
}

// The manager takes a service that stays silent beyond its last report's wait
// hint for hung: a stop's pending report must promise at least the time the
// stop may then wait for the connection loop before it reports again. A
// failed start's reason stays through a later stop; the system's own reason
// reaches the manager in Service.AFailedStartShowsWhy.
TEST_F(Status, AStopPromisesTheTimeItMayTakeAndKeepsAFailedStartsReason)
{
    ASSERT_EQ("", CleanMachine());
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    Reports.clear();
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    ASSERT_EQ(2u, Reports.size());
    EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, Reports[0].dwCurrentState);
    EXPECT_NE(0u, Reports[0].dwCheckPoint);
    EXPECT_GT(Reports[0].dwWaitHint, STOP_LOOP_WAIT_MS);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, Reports[1].dwCurrentState);
    EXPECT_EQ(0u, Reports[1].dwCheckPoint);
    EXPECT_EQ("", CleanMachine());

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
}

} // namespace
