// A fixture for tests that need the service registered with the real service
// manager: registered fresh before each test, stopped and removed after it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

typedef std::vector<std::string> Lines;

// How long (ms) a test waits for the service to reach a state.
static const DWORD STATE_WAIT_MS = 20000;

// A client opened the new instance before the server waited on it: allowed
// in front of any connection's lines.
static const char EARLY_CLIENT_LINE[] = "ConnectNamedPipe: ERROR_PIPE_CONNECTED";

extern const Lines START_LINES;
extern const Lines STOP_LINES;

// The last n lines.
Lines Tail(const Lines &lines, size_t n);

// The service's state and process, as the manager reports them.
SERVICE_STATUS_PROCESS QueryServiceProcess(SC_HANDLE hService);
// Asks the service to stop; true when the manager took the request.
bool RequestStop(SC_HANDLE hService);
// The lines without those of clients that came before the service waited:
// how early a client comes is the scheduler's choice, not the test's.
Lines WithoutEarlyClient(const Lines &lines);
// Stops the service and waits until its process has ended.
void StopServiceProcess(SC_HANDLE hService);
// Stops and deletes any registration of the service left by an earlier run.
void RemoveServiceRegistration(SC_HANDLE hManager);

class Service : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    SERVICE_STATUS_PROCESS Query();
    SERVICE_STATUS_PROCESS WaitForState(DWORD dwState);
    // Starts the service and waits until it runs and has logged its start.
    SERVICE_STATUS_PROCESS StartRunning();
    // Asks through the command-line client; its output and errors.
    std::string Ask(const std::string &path);

    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = NULL;
    std::string dir;
};
