#include "fixtures.h"

#include <string.h>

#include "service/service.h"
#include "support.h"

const Lines START_LINES = {"Quorvel service entry point", "Quorvel Service starting...",
                           "Waiting for connect...\n", "Quorvel Service started!",
                           "Named pipe server\n"};
const Lines STOP_LINES = {"Quorvel Service stopping...", "Named Pipe closed!",
                          "Quorvel Service stopped!"};
const Lines LOOP_START_LINES = {"Waiting for connect...\n", "Named pipe server\n"};

// words.txt in dir, of three spaces, and the reply that names it.
static void WriteWords(const std::string &dir, std::string *pWords, std::string *pReply)
{
    *pWords = dir + "\\words.txt";
    EXPECT_TRUE(WriteWholeFile(*pWords, "one two  three"));
    *pReply = "(Server): file:" + *pWords + ", spaces = 3";
}

Lines Tail(const Lines &lines, size_t n)
{
    return Lines(lines.end() - (n < lines.size() ? n : lines.size()), lines.end());
}

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines ConnectionLines(const std::string &path, const std::string &reply)
{
    return {"Connected. Waiting for command.\n", "Received: " + path + "\n", reply,
            "Received: exit\n", "Client exited\n", "Named Pipe closed!",
            "Waiting for connect...\n"};
}

std::string CantOpenReply(const std::string &path)
{
    return "(Server)Can't open " + path + "!";
}

HANDLE Connect(DWORD dwWaitMs)
{
    DWORD dwError = 0;
    HANDLE hClient = OpenClient(&dwError, dwWaitMs);
    EXPECT_NE(INVALID_HANDLE_VALUE, hClient) << "the pipe did not open: error " << dwError;
    return hClient;
}

void Service::SetUp()
{
    hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, hManager) << GetLastError();
    ASSERT_EQ("", CleanMachine());
    hService = CreateServiceRegistration(hManager);
    ASSERT_NE(nullptr, hService) << GetLastError();
    dir = MakeTestDir("service");
    WriteWords(dir, &words, &wordsReply);
}

void Service::TearDown()
{
    if (hService != NULL) {
        CloseServiceHandle(hService);
        RemoveServiceRegistration(hManager);
    }
    if (hManager != NULL)
        CloseServiceHandle(hManager);
}

SERVICE_STATUS_PROCESS Service::Query()
{
    return QueryServiceProcess(hService);
}

SERVICE_STATUS_PROCESS Service::WaitForState(DWORD dwState)
{
    DWORD dwStart = GetTickCount();
    SERVICE_STATUS_PROCESS ssp = Query();
    while (ssp.dwCurrentState != dwState && GetTickCount() - dwStart < STATE_WAIT_MS) {
        Sleep(20);
        ssp = Query();
    }
    return ssp;
}

SERVICE_STATUS_PROCESS Service::StartRunning()
{
    EXPECT_TRUE(StartServiceA(hService, 0, NULL)) << GetLastError();
    SERVICE_STATUS_PROCESS ssp = WaitForState(SERVICE_RUNNING);
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ssp.dwCurrentState);
    WaitForLogLines(START_LINES.size());
    return ssp;
}

std::string Service::Ask(const std::string &path)
{
    std::string out, err;
    RunProgram("\"" + ExeDir() + "\\quorvel-client.exe\" \"" + path + "\"", "", &out, &err);
    return out + err;
}

void LoopTest::SetUp()
{
    ASSERT_EQ("", CleanMachine());
    dir = MakeTestDir(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name());
    WriteWords(dir, &words, &wordsReply);
}

void LoopTest::TearDown()
{
    if (hLoop != NULL) {
        EXPECT_TRUE(StopLoopThread(hLoop));
    }
}
