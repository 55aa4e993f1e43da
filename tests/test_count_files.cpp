// The counter on real files on the C: drive, against the Windows runtime's
// own text mode read one fgetc at a time.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string.h>

#include <string>

#include "count/file.h"
#include "count/seams_win.h"
#include "open/judge_win.h"
#include "open/seams_win.h"
#include "stop/stop.h"
#include "reference_count.h"
#include "support.h"

// The model of Windows: what an open reached, and which worker reads first.
// Under Wine no name the text rules pass reaches anything but a local disk
// file. Reads that fail or come back short are real (tests/faultfs).
static const wchar_t *ModelReachedName = NULL; // NULL: as Wine says
static DWORD ModelDeviceType = 0;              // 0: as Wine says
static DWORD ModelDeviceCharacteristics = 0;
// With ModelHoldBlock1, a read of block 1 waits until block 2 has been read
// (or the helper's read of it hangs):
// whichever worker holds block 1, the other reads block 2 ahead of it, so the
// helper reads and what block 2 holds arrives first, whatever the scheduler.
static bool ModelHoldBlock1 = false;
static volatile LONG Block2Read = 0;
static const DWORD MODEL_HOLD_MS = 10000;
// Reads made on a thread other than the case's own: the counter's helper.
static DWORD CaseThreadId = 0;
static volatile LONG HelperReads = 0;

// The last name handed to the open, as it was handed.
static std::string ModelOpenedName;
// The most any open let a server that answers on its name do as its caller.
// The documented rule, which Wine does not act on: without
// SECURITY_SQOS_PRESENT a server may impersonate the caller
// (SecurityImpersonation); with it, at most the level the flags name.
static int ModelLevelLent = SecurityAnonymous;

HANDLE CreateFileToCount(LPCWSTR wszName, DWORD dwAccess, DWORD dwShare,
                         LPSECURITY_ATTRIBUTES psa, DWORD dwDisposition, DWORD dwFlags,
                         HANDLE hTemplate)
{
    ModelOpenedName.assign(wszName, wszName + wcslen(wszName));
    int level = (dwFlags & SECURITY_SQOS_PRESENT) ? (int)((dwFlags >> 16) & 3)
                                                   : (int)SecurityImpersonation;
    if (level > ModelLevelLent)
        ModelLevelLent = level;
    return CreateFileW(wszName, dwAccess, dwShare, psa, dwDisposition, dwFlags, hTemplate);
}

// ntdll's own call, found by name as the product finds it.
template <typename Call> static Call NtCall(const char *szName)
{
    return (Call)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"), szName);
}
// The documented answers: the object's name as a counted string whose
// characters follow it; the device's type and characteristics. A buffer too
// small is refused with STATUS_INFO_LENGTH_MISMATCH.
static const LONG MODEL_LENGTH_MISMATCH = (LONG)0xC0000004;

LONG QueryObjectToCount(HANDLE hObject, int infoClass, void *pvInfo, ULONG cbInfo,
                        ULONG *pcbNeeded)
{
    if (ModelReachedName == NULL || infoClass != NT_OBJECT_NAME_INFORMATION)
        return NtCall<LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *)>("NtQueryObject")(
            hObject, infoClass, pvInfo, cbInfo, pcbNeeded);
    ULONG cbName = (ULONG)(wcslen(ModelReachedName) * sizeof(wchar_t));
    ULONG cbNeeded = (ULONG)sizeof(NtObjectName) + cbName + sizeof(wchar_t);
    if (pcbNeeded != NULL)
        *pcbNeeded = cbNeeded;
    if (cbInfo < cbNeeded)
        return MODEL_LENGTH_MISMATCH;
    NtObjectName *pName = (NtObjectName *)pvInfo;
    pName->pwch = (wchar_t *)(pName + 1);
    pName->cbLength = (USHORT)cbName;
    pName->cbMaximum = (USHORT)(cbName + sizeof(wchar_t));
    memcpy(pName->pwch, ModelReachedName, cbName + sizeof(wchar_t));
    return 0;
}

LONG QueryVolumeToCount(HANDLE hFile, NtIoStatus *pIo, void *pvInfo, ULONG cbInfo, int infoClass)
{
    if (ModelDeviceType == 0 || infoClass != NT_FILE_FS_DEVICE_INFORMATION)
        return NtCall<LONG(WINAPI *)(HANDLE, NtIoStatus *, void *, ULONG, int)>(
            "NtQueryVolumeInformationFile")(hFile, pIo, pvInfo, cbInfo, infoClass);
    NtFileDevice device = {ModelDeviceType, ModelDeviceCharacteristics};
    if (cbInfo < sizeof device)
        return MODEL_LENGTH_MISMATCH;
    memcpy(pvInfo, &device, sizeof device);
    pIo->pvStatus = NULL;
    pIo->uInformation = sizeof device;
    return 0;
}

// With ModelHangHelper, the helper's reads never return of themselves, as on a
// share that stopped answering: each waits in a synchronous read of a pipe
// nobody writes to, which on Windows (and Wine) only CancelSynchronousIo for
// its thread ends, with ERROR_OPERATION_ABORTED. ModelHangRead is its end.
static bool ModelHangHelper = false;
static HANDLE ModelHangRead = NULL;
static volatile LONG HelperHung = 0;

// With ModelReplaceAtFirstRead, the caller's first read finds its file
// renamed and a file of as many bytes but no spaces made under its name: a
// handle reopened by name (as Wine reopens, and SMB must) reaches that one.
static bool ModelReplaceAtFirstRead = false;

BOOL ReadFileToCount(HANDLE hFile, LPVOID pv, DWORD cb, LPDWORD pcbRead, LPOVERLAPPED pov)
{
    // A synchronous read starts at the offset its OVERLAPPED gives, or else
    // where the handle's position stands.
    LARGE_INTEGER ibAt = {};
    if (pov != NULL)
        ibAt.QuadPart = (LONGLONG)(((ULONGLONG)pov->OffsetHigh << 32) | pov->Offset);
    else
        SetFilePointerEx(hFile, ibAt, &ibAt, FILE_CURRENT);
    LARGE_INTEGER cbFile;
    if (ModelReplaceAtFirstRead && ibAt.QuadPart == 0 && GetFileSizeEx(hFile, &cbFile)) {
        ModelReplaceAtFirstRead = false;
        MoveFileExA(ModelOpenedName.c_str(), (ModelOpenedName + ".old").c_str(),
                    MOVEFILE_REPLACE_EXISTING);
        EXPECT_TRUE(WriteWholeFile(ModelOpenedName, std::string((size_t)cbFile.QuadPart, 'x')));
    }
    if (GetCurrentThreadId() != CaseThreadId) {
        InterlockedIncrement(&HelperReads);
        if (ModelHangHelper) {
            InterlockedIncrement(&HelperHung);
            char ch;
            ReadFile(ModelHangRead, &ch, 1, pcbRead, NULL);
            SetLastError(ERROR_OPERATION_ABORTED);
            *pcbRead = 0;
            return FALSE;
        }
    }
    ULONGLONG iBlock = (ULONGLONG)ibAt.QuadPart / COUNT_BLOCK_SIZE;
    for (DWORD dwStart = GetTickCount();
         ModelHoldBlock1 && iBlock == 1 && !Block2Read && !HelperHung &&
         GetTickCount() - dwStart < MODEL_HOLD_MS;)
        Sleep(1);
    BOOL fRead = ReadFile(hFile, pv, cb, pcbRead, pov);
    if (iBlock == 2)
        InterlockedExchange(&Block2Read, 1);
    return fRead;
}

namespace {

// The count, or -1 where the file was not counted.
long long Count(const std::string &path)
{
    unsigned long long count = 0;
    return CountSpaces(path.c_str(), &count) ? (long long)count : -1;
}

class CountFiles : public ::testing::Test {
protected:
    // A folder per case: the cases run side by side, and each empties its own.
    void SetUp() override
    {
        CaseThreadId = GetCurrentThreadId();
        std::string name = "count-";
        name += ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir = MakeTestDir(name.c_str());
    }
    std::string File(const char *name, const std::string &bytes)
    {
        std::string path = dir + "\\" + name;
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }
    // The count, checked against the text-mode reference on the way.
    long long Checked(const std::string &path)
    {
        long long reference = -1;
        EXPECT_TRUE(CountSpacesByteLoop(path.c_str(), &reference));
        EXPECT_EQ(reference, Count(path)) << path;
        return reference;
    }
    std::string dir;
};

TEST_F(CountFiles, TheCasesUsersMeet)
{
    EXPECT_EQ(0, Checked(File("empty.txt", "")));
    EXPECT_EQ(3, Checked(File("words.txt", "one two  three")));
    EXPECT_EQ(0, Checked(File("tabs.txt", "\t\t\n\t\r\n\n")));
    EXPECT_EQ(4, Checked(File("crlf.txt", "a b\r\nc d\r\n e \r\n")));
    EXPECT_EQ(1, Checked(File("ctrlz.txt", "ab cd\x1A    ")));
    EXPECT_EQ(0, Checked(File("nbsp.txt", "\xA0\xA0x\xA0")));
    EXPECT_EQ(2, Checked(File("lonecr.txt", " \r \r")));
}

TEST_F(CountFiles, WhatCannotBeOpenedSaysSo)
{
    EXPECT_EQ(-1, Count(dir + "\\missing.txt"));
    EXPECT_EQ(-1, Count(dir)) << "a directory";

    // Held by another program that shares nothing: a sharing violation.
    std::string path = File("held.txt", "a b");
    HANDLE hHeld = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    EXPECT_EQ(-1, Count(path));
    CloseHandle(hHeld);
    EXPECT_EQ(1, Count(path));
    // Held by one that writes it, or may delete it, and shares the rest: counted.
    for (DWORD dwAccess : {(DWORD)GENERIC_WRITE, (DWORD)DELETE}) {
        hHeld = CreateFileA(path.c_str(), dwAccess,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
        EXPECT_EQ(1, Count(path)) << "held with access " << dwAccess;
        CloseHandle(hHeld);
    }
}

// Under WOW64 the file in System32, not its SysWOW64 namesake; the reference
// reads it through Z:, never redirected.
TEST_F(CountFiles, ASystem32PathCountsTheSystem32File)
{
    BOOL fWow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &fWow64) || !fWow64)
        GTEST_SKIP() << "not under WOW64: there is one System32, so the two files are one";
    const char *szDir = getenv("QUORVEL_SYSTEM32"); // the prefix's, as Linux sees it
    ASSERT_NE(nullptr, szDir);
    long long reference = -1;
    std::string linuxPath = "Z:" + std::string(szDir) + "/kernel32.dll";
    ASSERT_TRUE(CountSpacesByteLoop(linuxPath.c_str(), &reference));
    EXPECT_EQ(reference, Count("C:\\windows\\system32\\kernel32.dll"));
}

// Which names the text rules hand to the open, and in what form: a file on a
// drive or a share, in the long form where long; never a volume, a disk, a
// device, GLOBALROOT, a pipe (whose silent owner would hold the service), nor
// a server's mailslots or IPC$, even where one reaches a file. Under Wine,
// which has no shares, the drive spellings are counted too.
TEST_F(CountFiles, OnlyFilesOnADriveOrAShareReachTheOpen)
{
    std::string path = File("words.txt", "one two  three"), slashed = path;
    for (char &ch : slashed)
        ch = (ch == '\\') ? '/' : ch;
    const std::string share = "\\\\srv\\dept\\a.txt", longShare = std::string(300, 'x');
    // A native name is made a path on the current drive, where it names nothing.
    char szRoot[8] = "";
    GetFullPathNameA("\\", sizeof szRoot, szRoot, NULL);
    const std::string native = szRoot + std::string("??\\") + path;
    const struct {
        std::string spelling, handed; // "": refused before the open
    } cases[] = {{path, path}, {slashed, path}, {"\\\\?\\" + path, "\\\\?\\" + path},
                 {"//?/" + slashed, "\\\\?\\" + path}, {"\\\\.\\" + path, path},
                 {"//./" + slashed, path}, {share, share}, {"//srv/dept/a.txt", share},
                 {"\\\\?\\UNC\\srv\\dept\\a.txt", "\\\\?\\UNC\\srv\\dept\\a.txt"},
                 {"\\\\srv\\dept\\" + longShare, "\\\\?\\UNC\\srv\\dept\\" + longShare},
                 {"\\\\.\\C:", ""}, {"//./C:", ""}, {"\\\\?\\C:", ""}, {"\\\\.\\C:\\", ""},
                 {"\\\\.\\PhysicalDrive0", ""}, {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", ""},
                 {"NUL", ""}, {"\\\?\?\\" + path, native}, {"/\?\?/" + slashed, native},
                 {"\\\\.\\pipe\\x", ""}, {"\\\\srv\\pipe\\x", ""}, {"\\\\srv\\MailSlot\\x", ""},
                 {"\\\\srv\\ipc$\\x", ""}, {"\\\\?\\UNC\\srv\\pipe\\x", ""}, {"\\\\srv\\", ""}};
    ModelLevelLent = SecurityAnonymous;
    for (const auto &c : cases) {
        ModelOpenedName.clear();
        long long count = Count(c.spelling);
        EXPECT_EQ(c.handed, ModelOpenedName) << c.spelling;
        bool fDrive = c.handed == path || c.handed == "\\\\?\\" + path;
        EXPECT_EQ(fDrive ? 3 : -1, count) << c.spelling;
    }
    EXPECT_LE(ModelLevelLent, (int)SecurityIdentification)
        << "a server answering on a name passed could act as the service";
}

// The reader's block edges, with the caller's thread alone and with a helper
// reading blocks ahead of it: a 0x1A on either side of an edge, in the block
// read ahead (2 * B + 5), and near the end.
TEST_F(CountFiles, BlockEdgesAreByteExact)
{
    const size_t B = COUNT_BLOCK_SIZE, cbLarge = (size_t)COUNT_HELPER_MIN_BYTES + B + 17;
    for (size_t cb : {(size_t)0, (size_t)1, B - 1, B, B + 1, 2 * B, cbLarge}) {
        std::string spaces(cb, ' ');
        std::string path = File("edge.txt", spaces);
        ModelHoldBlock1 = cb >= COUNT_HELPER_MIN_BYTES;
        InterlockedExchange(&HelperReads, 0);
        InterlockedExchange(&Block2Read, 0);
        EXPECT_EQ((long long)cb, Count(path)) << "size " << cb;
        EXPECT_EQ(cb >= COUNT_HELPER_MIN_BYTES, HelperReads > 0) << "size " << cb;
        for (size_t iEnd : {B - 1, B, B + 1, 2 * B + 5, 5 * B + 3, cbLarge - 1}) {
            if (iEnd >= cb)
                continue;
            std::string bytes = spaces;
            bytes[iEnd] = '\x1A';
            InterlockedExchange(&Block2Read, 0);
            EXPECT_EQ((long long)iEnd, Count(File("edge.txt", bytes)))
                << "size " << cb << ", 0x1A at " << iEnd;
        }
    }
    ModelHoldBlock1 = false;
}

struct CountRun {
    std::string path;
    long long count;
};

// A count on a thread of its own, whose reads are the caller's.
DWORD WINAPI CountOnThread(LPVOID pvRun)
{
    CountRun *pRun = (CountRun *)pvRun;
    CaseThreadId = GetCurrentThreadId();
    pRun->count = Count(pRun->path);
    return 0;
}

// A share that stopped answering the helper: a stop cancels its read, and the
// count ends without one.
TEST_F(CountFiles, AStopCancelsTheHelpersHungRead)
{
    const size_t cb = (size_t)COUNT_HELPER_MIN_BYTES + 2 * COUNT_BLOCK_SIZE;
    std::string path = File("hung.txt", std::string(cb, ' '));
    HANDLE hHangWrite = NULL;
    ASSERT_TRUE(CreatePipe(&ModelHangRead, &hHangWrite, NULL, 0));
    ModelHangHelper = ModelHoldBlock1 = true;
    InterlockedExchange(&HelperHung, 0);
    CountRun run = {path, 0};
    HANDLE hCount = CreateThread(NULL, 0, CountOnThread, &run, 0, NULL);
    ASSERT_NE(nullptr, hCount);
    for (DWORD dwStart = GetTickCount(); !HelperHung && GetTickCount() - dwStart < 10000;)
        Sleep(1);
    EXPECT_TRUE(HelperHung) << "the helper never read";
    InterlockedExchange(&StopRequested, 1);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(hCount, 5000)) << "the stop waits on the helper";
    CloseHandle(hHangWrite); // a read still hung ends now
    WaitForSingleObject(hCount, INFINITE);
    CloseHandle(hCount);
    CloseHandle(ModelHangRead);
    InterlockedExchange(&StopRequested, 0);
    ModelHangHelper = ModelHoldBlock1 = false;
    EXPECT_EQ(-1, run.count);
}

// A stop raised beforehand gives no count, alone or with a helper.
TEST_F(CountFiles, AStopGivesNoCount)
{
    for (size_t cb : {3 * COUNT_BLOCK_SIZE, (size_t)COUNT_HELPER_MIN_BYTES + COUNT_BLOCK_SIZE}) {
        std::string path = File("stopped.txt", std::string(cb, ' '));
        InterlockedExchange(&StopRequested, 1);
        EXPECT_EQ(-1, Count(path)) << cb;
        InterlockedExchange(&StopRequested, 0);
        EXPECT_EQ((long long)cb, Count(path)) << "once nothing is in the way";
    }
}

// What the open reached decides, past the text rules: on Windows a junction
// into an object directory and a link there can lead a plain C:\ name to a
// volume or a pipe, which Wine cannot show (Wine's own answer, a drive path
// under \??\, is a file when something follows the root). The device's kind
// decides only whether the helper's handle is checked: a file is counted
// whole on any of them.
TEST_F(CountFiles, WhatTheOpenReachedDecides)
{
    std::string path = File("spaces.txt", std::string(3000, ' '));
    const struct {
        const wchar_t *wszReached; // NULL: as Wine says
        DWORD dwType, dwCharacteristics; // 0: as Wine says
        bool fCounted;
    } cases[] = {{NULL, 0, 0, true},
                 {L"\\Device\\HarddiskVolume1\\dir\\spaces.txt", FILE_DEVICE_DISK, 0, true},
                 {L"\\Device\\Mup\\host\\share\\spaces.txt", FILE_DEVICE_NETWORK_FILE_SYSTEM,
                  FILE_REMOTE_DEVICE, true},
                 {NULL, FILE_DEVICE_DISK, FILE_REMOTE_DEVICE, true},
                 {NULL, FILE_DEVICE_VIRTUAL_DISK, 0, true},
                 {L"\\??\\C:\\dir\\spaces.txt", 0, 0, true},
                 {L"\\Device\\HarddiskVolume1", 0, 0, false},
                 {L"\\Device\\HarddiskVolume1\\", 0, 0, false},
                 {L"\\Device\\NamedPipe\\trap", 0, 0, false},
                 {L"\\Device\\Mailslot\\trap", 0, 0, false},
                 {L"\\Device\\HarddiskVolumeShadowCopy1\\spaces.txt", 0, 0, false},
                 {L"\\Device\\Harddisk0\\DR0", 0, 0, false},
                 {L"\\RPC Control\\trap", 0, 0, false},
                 {L"\\??\\C:\\", 0, 0, false},
                 {L"\\??\\C:", 0, 0, false},
                 {L"", 0, 0, false}};
    for (const auto &c : cases) {
        ModelReachedName = c.wszReached;
        ModelDeviceType = c.dwType;
        ModelDeviceCharacteristics = c.dwCharacteristics;
        EXPECT_EQ(c.fCounted ? 3000 : -1, Count(path)) << (int)(&c - cases);
    }
    ModelReachedName = NULL;
    ModelDeviceType = 0;
    // A local disk's file as Wine answers: local, so its helper's handle goes unchecked.
    static void *rgpvReach[512];
    FileSystemKind kind = FsOther;
    HANDLE hFile =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_TRUE(JudgeOpenedFile(hFile, rgpvReach, sizeof rgpvReach, &kind) && kind == FsLocal);
    CloseHandle(hFile);
}

// On a redirector the helper reads only with a handle shown to reach the
// caller's very file: a reopen of the same file is one; a reopen that reaches
// the file put in its place is not, and the caller then reads alone. A
// redirector may call itself a disk, but says it is remote.
TEST_F(CountFiles, ARedirectorsFileIsReadByTheHelperOnlyWhereItsHandleIsTheSameFile)
{
    const size_t cb = (size_t)COUNT_HELPER_MIN_BYTES + 2 * COUNT_BLOCK_SIZE;
    const struct {
        bool fReplaced;
        DWORD dwType;
    } cases[] = {{false, FILE_DEVICE_NETWORK_FILE_SYSTEM},
                 {true, FILE_DEVICE_NETWORK_FILE_SYSTEM},
                 {true, FILE_DEVICE_DISK}};
    ModelDeviceCharacteristics = FILE_REMOTE_DEVICE;
    for (const auto &c : cases) {
        std::string path = File("remote.txt", std::string(cb, ' '));
        ModelDeviceType = c.dwType;
        // Held only where the helper must read, else block 1 waits out the hold.
        ModelHoldBlock1 = !c.fReplaced;
        ModelReplaceAtFirstRead = c.fReplaced;
        InterlockedExchange(&Block2Read, 0);
        InterlockedExchange(&HelperReads, 0);
        EXPECT_EQ((long long)cb, Count(path)) << c.fReplaced << " " << c.dwType;
        EXPECT_EQ(!c.fReplaced, HelperReads > 0) << c.fReplaced << " " << c.dwType;
    }
    ModelHoldBlock1 = false;
    ModelDeviceType = 0;
    ModelDeviceCharacteristics = 0;
}

} // namespace
