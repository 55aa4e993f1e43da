// The service under the real service manager when things go wrong around it,
// real faults beneath it among them (tests/faultfs, at X:): each must end,
// and end promptly.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <winioctl.h>

#include <string>

#include "count/file.h"
#include "log/log.h"
#include "pipe/protocol.h"
#include "service/service.h"
#include "fixtures.h"

namespace {

// A stop must be over within this (ms), whatever the service is doing.
const DWORD STOP_PROMPT_MS = 5000;
// More than any counter could read in the time a prompt stop may take (at
// 800 GB/s, five seconds); sparse, so it takes next to no room on the disk,
// and only what is counted before the stop is ever read.
const LONGLONG LARGE_FILE_BYTES = 4LL << 40;
// Room on the disk (bytes) that it may take; a file system that does not keep
// it sparse skips the case.
const LONGLONG LARGE_FILE_ROOM = 1 << 20;

// How long (ms) a reply that needs no counting may take.
const DWORD REPLY_WAIT_MS = 3000;

// The fault file system's drive, and the name of one of its files: SIZE
// spaces, with a fault (tests/faultfs/faultfs.cpp).
const char FAULT_DRIVE[] = "X:\\";
std::string FaultFile(unsigned long long cb, const char *szFault = "", unsigned long long at = 0,
                      const char *szSuffix = "")
{
    std::string name = FAULT_DRIVE + std::to_string(cb);
    if (*szFault != '\0')
        name += std::string("-") + szFault + "-" + std::to_string(at) + szSuffix;
    return name;
}

// The count a line saying how many lines were lost gives, or -1 for any
// other line.
long DroppedCount(const std::string &line)
{
    unsigned long n = 0;
    char szNotice[LOG_LINE_SIZE];
    if (sscanf(line.c_str(), LOG_DROPPED_FORMAT, &n) != 1)
        return -1;
    snprintf(szNotice, sizeof szNotice, LOG_DROPPED_FORMAT, n);
    return line == szNotice ? (long)n : -1;
}

class Faults : public Service {
protected:
    void SetUp() override
    {
        Service::SetUp();
        missing = dir + "\\none";
        missingReply = CantOpenReply(missing);
    }
    void TearDown() override
    {
        if (hHeld != INVALID_HANDLE_VALUE)
            CloseHandle(hHeld);
        if (fFaults) {
            Control("release");
            Control("logdisk-off");
        }
        Service::TearDown();
        RemoveDirectoryA(LOG_PATH);
        if (!large.empty())
            DeleteFileA(large.c_str());
    }
    // Opens the log without sharing, as an editor that locks it would.
    void HoldLog()
    {
        hHeld = CreateFileA(LOG_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, hHeld) << GetLastError();
    }
    // Stops the service and checks that it stopped cleanly and in time, and
    // that its process ended.
    void StopPromptly(DWORD dwProcessId)
    {
        HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
        ASSERT_NE(nullptr, hProcess) << GetLastError();
        DWORD dwStart = GetTickCount();
        ASSERT_TRUE(RequestStop(hService)) << GetLastError();
        SERVICE_STATUS_PROCESS ssp = WaitForState(SERVICE_STOPPED);
        EXPECT_LT(GetTickCount() - dwStart, STOP_PROMPT_MS) << "state " << ssp.dwCurrentState;
        EXPECT_EQ((DWORD)NO_ERROR, ssp.dwWin32ExitCode);
        EXPECT_EQ(0u, ssp.dwCheckPoint) << "nothing pending";
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hProcess, STOP_PROMPT_MS))
            << "the process ends";
        CloseHandle(hProcess);
    }

    // Whether the fault file system is at X:; "" when it is, otherwise why
    // it is not (the reason its fixture left).
    std::string FaultsMissing()
    {
        fFaults = GetFileAttributesA((FAULT_DRIVE + std::string("release")).c_str()) !=
                  INVALID_FILE_ATTRIBUTES;
        if (fFaults)
            return "";
        std::string why = ReadWholeFile("C:\\quorvel-faults-skipped.txt");
        return why.empty() ? "the fault file system is not at X:" : why;
    }
    // How many reads the fault file system holds.
    ULONGLONG HeldReads()
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExA((FAULT_DRIVE + std::string("held")).c_str(), GetFileExInfoStandard,
                             &data);
        return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    }
    // Asks the fault file system to act, by opening one of its names: "", or
    // the name and the error, which say which step failed.
    std::string Control(const char *szName)
    {
        HANDLE h = CreateFileA((FAULT_DRIVE + std::string(szName)).c_str(), GENERIC_READ,
                               FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return std::string(szName) + ": error " + std::to_string(GetLastError());
        CloseHandle(h);
        return "";
    }

    HANDLE hHeld = INVALID_HANDLE_VALUE;
    bool fFaults = false;
    std::string missing, missingReply, large;
};

TEST_F(Faults, AHeldLogLosesLinesButServingAndStoppingGoOn)
{
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    Lines before = LogLines();

    HoldLog();
    // A whole connection, and the next one up to its first reply: once that
    // reply is here, every line before it has been tried, and refused.
    HANDLE hFirst = Connect();
    EXPECT_EQ(wordsReply, ::Ask(hFirst, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hFirst));
    HANDLE hSecond = Connect();
    EXPECT_EQ(missingReply, ::Ask(hSecond, missing));
    CloseHandle(hHeld);
    EXPECT_EQ(before, LogLines()) << "nothing was written while the log was held";

    // Released: the lines come back, from the very next event on, after
    // one that says ten were lost (eleven or twelve where a client came early).
    EXPECT_EQ(wordsReply, ::Ask(hSecond, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hSecond));
    const Lines resumed = Tail(ConnectionLines(words, wordsReply), 6);
    Lines lines = WaitForLogLines(before.size() + 1 + resumed.size());
    long nDropped = DroppedCount(lines.at(before.size()));
    EXPECT_TRUE(nDropped >= 10 && nDropped <= 12) << lines[before.size()];
    const Lines expected = before + Lines{lines[before.size()]} + resumed;
    EXPECT_EQ(expected, lines);

    // Held again while it stops: the stop lines are lost, the stop is not.
    HoldLog();
    StopPromptly(ssp.dwProcessId);
    CloseHandle(hHeld);
    hHeld = INVALID_HANDLE_VALUE;
    EXPECT_EQ(expected, LogLines());
}

TEST_F(Faults, AnUnwritableLogNeitherStopsNorHangsTheService)
{
    // Opening a directory for writing fails at once, and not as a sharing
    // violation, so no line is even retried.
    ASSERT_TRUE(CreateDirectoryA(LOG_PATH, NULL)) << GetLastError();
    ASSERT_TRUE(StartServiceA(hService, 0, NULL)) << GetLastError();
    SERVICE_STATUS_PROCESS ssp = WaitForState(SERVICE_RUNNING);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, ssp.dwCurrentState);

    // Two connections: the instance is replaced between them without a log.
    for (int iClient = 0; iClient < 2; ++iClient) {
        HANDLE hClient = Connect();
        EXPECT_EQ(wordsReply, ::Ask(hClient, words));
        EXPECT_EQ(missingReply, ::Ask(hClient, missing));
        EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    }
    StopPromptly(ssp.dwProcessId);
    EXPECT_TRUE(RemoveDirectoryA(LOG_PATH)) << "still the directory, and empty: " << GetLastError();
}

TEST_F(Faults, AStopWhileALargeFileIsCountedIsPrompt)
{
    large = dir + "\\large.bin";
    HANDLE hFile = CreateFileA(large.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile) << GetLastError();
    // Windows keeps a file sparse only when told; Wine's files are.
    DWORD cbReturned = 0;
    DeviceIoControl(hFile, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &cbReturned, NULL);
    LARGE_INTEGER cbSize;
    cbSize.QuadPart = LARGE_FILE_BYTES;
    BOOL fSized = SetFilePointerEx(hFile, cbSize, NULL, FILE_BEGIN) && SetEndOfFile(hFile);
    DWORD dwError = GetLastError();
    FILE_STANDARD_INFO info = {};
    GetFileInformationByHandleEx(hFile, FileStandardInfo, &info, sizeof info);
    CloseHandle(hFile);
    if (!fSized)
        GTEST_SKIP() << "this disk holds no file of " << LARGE_FILE_BYTES << " bytes: " << dwError;
    if (info.AllocationSize.QuadPart > LARGE_FILE_ROOM)
        GTEST_SKIP() << "this disk does not keep the file sparse";

    SERVICE_STATUS_PROCESS ssp = StartRunning();
    HANDLE hClient = Connect();
    EXPECT_EQ(wordsReply, ::Ask(hClient, words));
    ASSERT_TRUE(SendText(hClient, large));
    // The count begins right after this line.
    const std::string received = "Received: " + large + "\n";
    ASSERT_EQ(Lines{received}, Tail(WaitForLogLines(START_LINES.size() + 4), 1));

    StopPromptly(ssp.dwProcessId);
    std::string reply;
    EXPECT_FALSE(ReadMessage(hClient, &reply))
        << "the count finished before the stop came; it was not interrupted: " << reply;
    CloseHandle(hClient);
    // Nothing after the request but the stop: the count was dropped, not
    // reported.
    EXPECT_EQ(Lines{received} + STOP_LINES, Tail(LogLines(), 1 + STOP_LINES.size()));
}

// A client that asks and never reads: a reply longer than the pipe's buffer
// leaves the server blocked in its write when the stop comes.
TEST_F(Faults, AStopWhileAReplyWaitsForItsReaderIsPrompt)
{
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    // Overlapped, so that this side never blocks on its own writes.
    HANDLE hClient = CreateFileA(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hClient) << GetLastError();
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(hClient, &dwMode, NULL, NULL)) << GetLastError();
    const std::string longest(MAX_REQUEST_LENGTH, 'w');
    const std::string request = longest + std::string(1, '\0');
    const std::string reply = CantOpenReply(longest);
    ASSERT_GT(reply.size(), PIPE_BUFFER_SIZE);
    const int nRequests = 3;
    OVERLAPPED ov[nRequests] = {};
    int nIssued = 0;
    for (; nIssued < nRequests; ++nIssued) {
        ov[nIssued].hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        BOOL fDone = WriteFile(hClient, request.data(), (DWORD)request.size(), NULL, &ov[nIssued]);
        if (!fDone && GetLastError() != ERROR_IO_PENDING) {
            ADD_FAILURE() << "request " << nIssued << ": error " << GetLastError();
            CloseHandle(ov[nIssued].hEvent);
            break;
        }
    }

    // One request served, its reply written, and no further: the next
    // requests wait unread because the loop is held in that write.
    const Lines expected =
        START_LINES + Lines{"Connected. Waiting for command.\n", "Received: " + longest + "\n", reply};
    EXPECT_EQ(expected, WaitForLogLines(expected.size()));

    StopPromptly(ssp.dwProcessId);
    CancelIo(hClient);
    for (int i = 0; i < nIssued; ++i) {
        DWORD cb = 0;
        GetOverlappedResult(hClient, &ov[i], &cb, TRUE);
        CloseHandle(ov[i].hEvent);
    }
    CloseHandle(hClient);
    // Nothing between the reply and the stop: the loop was held in its write.
    EXPECT_EQ(expected + STOP_LINES, WithoutEarlyClient(LogLines()));
}

#define SKIP_WITHOUT_FAULTS()                                                                   \
    if (std::string why = FaultsMissing(); !why.empty())                                       \
        GTEST_SKIP() << why

// A disk that fails partway through a read hands over the bytes before the
// fault as a short read, and the error only with the next: that is never the
// file's end. A short read that is not the end (a redirector's) is read on.
TEST_F(Faults, AReadFailingPartwayGivesNoCountAndAShortReadIsReadOn)
{
    SKIP_WITHOUT_FAULTS();
    const unsigned long long B = COUNT_BLOCK_SIZE, cbLarge = COUNT_HELPER_MIN_BYTES + 4 * B;
    const struct {
        std::string path;
        long long count; // -1: "Can't open"
    } cases[] = {
        {FaultFile(5000, "eio", 0), -1},                     // in the very first read
        {FaultFile(3 * B, "eio", 0), -1},
        {FaultFile(3 * B, "eio", B / 2 + 12345), -1},        // in the first block, after some bytes
        {FaultFile(3 * B, "eio", B + B / 2 + 7), -1},        // in a later block
        {FaultFile(3 * B, "eio", B), -1},                    // at a block's start
        {FaultFile(cbLarge, "eio", 2 * B, "-helper"), -1},   // in the helper's blocks
        {FaultFile(5000, "short", 1000), 5000},
        {FaultFile(3 * B + 5, "short", 64 * 1024), (long long)(3 * B + 5)},
        {FaultFile(3 * B + 5), (long long)(3 * B + 5)}};
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    HANDLE hClient = Connect();
    for (const auto &c : cases) {
        EXPECT_EQ(c.count < 0 ? CantOpenReply(c.path)
                              : "(Server): file:" + c.path + ", spaces = " + std::to_string(c.count),
                  ::Ask(hClient, c.path));
    }
    EXPECT_EQ(wordsReply, ::Ask(hClient, words)) << "and the service goes on";
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    StopPromptly(ssp.dwProcessId);
}

// A share that stopped answering: the stop is within its wait hint and its
// lines come last, and the service starts again and serves while the old
// read still hangs.
TEST_F(Faults, AReadThatNeverReturnsHoldsNeitherTheStopNorARestart)
{
    SKIP_WITHOUT_FAULTS();
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    HANDLE hClient = Connect();
    const std::string hang = FaultFile(3 * COUNT_BLOCK_SIZE, "hang", COUNT_BLOCK_SIZE + 5);
    ASSERT_TRUE(SendText(hClient, hang));
    const std::string received = "Received: " + hang + "\n";
    ASSERT_EQ(Lines{received}, Tail(WaitForLogLines(START_LINES.size() + 2), 1));
    // The count's read reaches the file system a moment after that line.
    for (DWORD dwWait = GetTickCount(); HeldReads() == 0 && GetTickCount() - dwWait < REPLY_WAIT_MS;)
        Sleep(1);
    ASSERT_EQ(1u, HeldReads());

    DWORD dwStart = GetTickCount();
    ASSERT_TRUE(RequestStop(hService)) << GetLastError();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForState(SERVICE_STOPPED).dwCurrentState);
    // The hang did not hold the stop. Its time is capped generously, at twice
    // its wait hint: a loaded machine adds to the 5 s the loop is given.
    EXPECT_EQ(1u, HeldReads()) << "stopped while the read still hangs";
    EXPECT_LE(GetTickCount() - dwStart, 2 * STOP_WAIT_HINT_MS);
    // The stop says so where the loop stays blocked (as here under Wine).
    Lines lines;
    for (const std::string &line : LogLines()) {
        if (line != "Connection loop still blocked: the pipe closes with the process")
            lines.push_back(line);
    }
    EXPECT_EQ(Lines{received} + STOP_LINES, Tail(lines, 1 + STOP_LINES.size()))
        << "the stop's lines come last";
    CloseHandle(hClient);

    ssp = StartRunning();
    hClient = Connect();
    EXPECT_EQ(wordsReply, ::Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    EXPECT_EQ(1u, HeldReads()) << "served while the old read still hangs";
    EXPECT_EQ("", Control("release"));
    StopPromptly(ssp.dwProcessId);
}

// The log's disk fills while clients are served: every reply stays right and
// the service runs; lines are dropped, and one may be cut where the disk
// ended, but none is ever glued to another. Once there is room, lines resume
// whole.
TEST_F(Faults, AFullLogDiskDropsLinesButNeverGluesThem)
{
    SKIP_WITHOUT_FAULTS();
    std::string why = Control("logdisk-on");
    if (!why.empty())
        GTEST_SKIP() << "no small disk could be mounted in the log's place: " << why;
    SERVICE_STATUS_PROCESS ssp = StartRunning();
    ASSERT_EQ("", Control("logdisk-full"));
    // More lines than the page the log has left holds (4 KiB).
    const int nRequests = 40;
    HANDLE hClient = Connect();
    for (int i = 0; i < nRequests; ++i) {
        EXPECT_EQ(wordsReply, ::Ask(hClient, words)) << i;
        EXPECT_EQ(missingReply, ::Ask(hClient, missing)) << i;
    }
    EXPECT_EQ((DWORD)SERVICE_RUNNING, Query().dwCurrentState);
    const size_t nFull = LogLines().size();
    EXPECT_LT(nFull, START_LINES.size() + 1 + 4 * nRequests) << "lines were dropped";

    ASSERT_EQ("", Control("logdisk-room"));
    EXPECT_EQ(wordsReply, ::Ask(hClient, words));
    EXPECT_EQ(EXIT_COMMAND, SayExit(hClient));
    StopPromptly(ssp.dwProcessId);

    const Lines resumed = Tail(ConnectionLines(words, wordsReply), 6) + STOP_LINES;
    bool fTorn = true;
    Lines lines = WithoutEarlyClient(LogLines(&fTorn));
    EXPECT_FALSE(fTorn);
    EXPECT_EQ(resumed, Tail(lines, resumed.size())) << "whole once there was room";
    // Before them, how many were lost: the lines of the full spell not
    // written whole (one more where a client came early and its line was lost).
    ASSERT_LT(START_LINES.size() + resumed.size(), lines.size());
    size_t iNotice = lines.size() - resumed.size() - 1;
    long nDropped = DroppedCount(lines[iNotice]);
    const Lines known = START_LINES + Lines{lines[iNotice]} + resumed +
                        Lines{"Connected. Waiting for command.\n", "Received: " + missing + "\n",
                              missingReply};
    int nCut = 0;
    for (const std::string &line : lines) {
        bool fKnown = false, fCut = false;
        for (const std::string &k : known) {
            fKnown = fKnown || line == k;
            fCut = fCut || (line.size() < k.size() + 2 && (k + "\r\n").compare(0, line.size(), line) == 0);
        }
        nCut += !fKnown && fCut;
        EXPECT_TRUE(fKnown || fCut) << "two lines glued, or a line garbled: " << line;
    }
    EXPECT_LE(nCut, 1) << "a line is cut only where the disk filled";
    long nMeant = 1 + 4 * nRequests - (long)(iNotice - START_LINES.size()) + nCut;
    EXPECT_TRUE(nDropped == nMeant || nDropped == nMeant + 1)
        << lines[iNotice] << "; lost: " << nMeant;
}

} // namespace
