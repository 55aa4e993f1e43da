// The tests' fixtures: the service registered with the real service manager,
// and the connection loop run on a thread of the test itself.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support.h"

typedef std::vector<std::string> Lines;

// How long (ms) a test waits for the service to reach a state.
static const DWORD STATE_WAIT_MS = 20000;

extern const Lines START_LINES;
extern const Lines STOP_LINES;
// The connection loop's, started on a fresh instance.
extern const Lines LOOP_START_LINES;

// The last n lines; and the lines of a, then those of b.
Lines Tail(const Lines &lines, size_t n);
Lines operator+(Lines a, const Lines &b);
// The lines of one connection: a request for path answered with reply, then
// "exit", and the instance renewed for the next client.
Lines ConnectionLines(const std::string &path, const std::string &reply);
// The reply to a path that cannot be opened.
std::string CantOpenReply(const std::string &path);
// A client as OpenClient opens it; one that cannot be opened fails the case,
// and all asked of its handle then fails at once.
HANDLE Connect(DWORD dwWaitMs = 5000);

// Registered fresh before each test, stopped and removed after it.
class Service : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    SERVICE_STATUS_PROCESS Query();
    SERVICE_STATUS_PROCESS WaitForState(DWORD dwState);
    // Starts the service and waits until it runs (which the case expects) and
    // has logged its start.
    SERVICE_STATUS_PROCESS StartRunning();
    // Asks through the command-line client; its output and errors.
    std::string Ask(const std::string &path);

    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = NULL;
    // A folder of the test's own, holding words (a file of three spaces) and
    // wordsReply its reply.
    std::string dir, words, wordsReply;
};

// For tests that run the connection loop: a clean log, a folder of the
// suite's own holding words (a file of three spaces, and wordsReply its
// reply), and the loop stopped afterwards.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HANDLE hLoop = NULL;
    std::string dir, words, wordsReply;
};
