// Counting a named file on Windows. Two workers, the calling thread and a
// helper, each take the next block, read it with a handle and into a buffer
// of their own, and count it, while what they find is taken in the file's
// order, so that the count ends at the first 0x1A, short block or failed read
// whichever worker gets there first. Two readers that each count can pass one
// plain read where a reader thread handing blocks to a counter cannot, and
// overlapped reads of a disk file go through the Wine server (the figures are
// in docs/design.md).
#include <windows.h>

#include "file.h"

#include "../open/open_win.h"
#include "../stop/stop.h"
#include "count.h"
#include "seams_win.h"

// How far (blocks) the workers may run ahead of the first block not yet taken
// in order: the room for the results waiting to be taken.
static const LONGLONG RUN_AHEAD_BLOCKS = 16;
// The helper's stack (bytes): it holds nothing large.
static const SIZE_T HELPER_STACK_BYTES = 64 * 1024;
// How often (ms) a waiting worker, and the join, look at the stop request.
static const DWORD STOP_POLL_MS = 10;

enum BlockState { BlockEmpty, BlockFull, BlockLast, BlockFailed };

struct BlockResult {
    unsigned long long count;
    BlockState state;
};

// One count: what the workers share, under its lock.
struct CountRun {
    SRWLOCK lock;
    CONDITION_VARIABLE taken; // the results taken in order have advanced
    LONGLONG iNext;           // the next block a worker takes
    LONGLONG iTaken;          // blocks taken in order into total
    unsigned long long total;
    int fOver, fFailed;
    ULONGLONG cbFile; // the file's size as the count found it
    int nWaiting; // workers waiting for room: only they need waking
    BlockResult results[RUN_AHEAD_BLOCKS];
};

struct Worker {
    CountRun *pRun;
    HANDLE hFile;
    unsigned char *pbBuffer;
};

// ReadFile at an offset; a read at 0 only as a fresh handle's first.
static BOOL ReadFileAt(HANDLE hFile, ULONGLONG ibAt, void *pv, DWORD cb, DWORD *pcbRead)
{
    // A read at 0 is a fresh handle's first, from where its position stands:
    // asked without an offset, it costs Wine no round trip to its server.
    if (ibAt == 0)
        return ReadFileToCount(hFile, pv, cb, pcbRead, NULL);
    // On a synchronous handle the read waits, and starts at the offset given.
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)ibAt;
    ov.OffsetHigh = (DWORD)(ibAt >> 32);
    return ReadFileToCount(hFile, pv, cb, pcbRead, &ov);
}

// Reads block iBlock into pb from cbDone on: the bytes the block holds, fewer
// than a block only where the file ends within it, or -1 when a read failed.
// A read may come back short anywhere, not only at the file's end: a
// redirector gives what it has, and a disk that fails partway through a read
// hands over the bytes before the fault, whose error comes only with the next
// read. So a short read ends the file only where it reaches cbFile, the size
// the count found, or where a further read finds nothing.
static LONGLONG ReadBlock(HANDLE hFile, LONGLONG iBlock, unsigned char *pb, size_t cbDone,
                          ULONGLONG cbFile)
{
    ULONGLONG ibBlock = (ULONGLONG)iBlock * COUNT_BLOCK_SIZE;
    while (cbDone < COUNT_BLOCK_SIZE && ibBlock + cbDone < cbFile) {
        DWORD cbRead = 0;
        if (!ReadFileAt(hFile, ibBlock + cbDone, pb + cbDone,
                        (DWORD)(COUNT_BLOCK_SIZE - cbDone), &cbRead))
            // 38: the read begins at or past the end of the file.
            return GetLastError() == ERROR_HANDLE_EOF ? (LONGLONG)cbDone : -1;
        if (cbRead == 0)
            break;
        cbDone += cbRead;
    }
    return (LONGLONG)cbDone;
}

static void RunWorker(Worker *pWorker)
{
    CountRun *pRun = pWorker->pRun;
    AcquireSRWLockExclusive(&pRun->lock);
    for (;;) {
        while (!pRun->fOver && !StopRequested && pRun->iNext - pRun->iTaken >= RUN_AHEAD_BLOCKS) {
            ++pRun->nWaiting;
            SleepConditionVariableSRW(&pRun->taken, &pRun->lock, STOP_POLL_MS, 0);
            --pRun->nWaiting;
        }
        if (StopRequested)
            pRun->fOver = pRun->fFailed = 1;
        if (pRun->fOver)
            break;
        LONGLONG iBlock = pRun->iNext++;
        ReleaseSRWLockExclusive(&pRun->lock);

        BlockResult result = {0, BlockFailed};
        LONGLONG cbRead = ReadBlock(pWorker->hFile, iBlock, pWorker->pbBuffer, 0, pRun->cbFile);
        if (cbRead >= 0) {
            int fEnd = CountBlock(pWorker->pbBuffer, (size_t)cbRead, &result.count);
            result.state = (fEnd || cbRead < (LONGLONG)COUNT_BLOCK_SIZE) ? BlockLast : BlockFull;
        }

        AcquireSRWLockExclusive(&pRun->lock);
        pRun->results[iBlock % RUN_AHEAD_BLOCKS] = result;
        BlockResult *pNext;
        while (!pRun->fOver &&
               (pNext = &pRun->results[pRun->iTaken % RUN_AHEAD_BLOCKS])->state != BlockEmpty) {
            pRun->total += pNext->count;
            pRun->fOver = pNext->state != BlockFull;
            pRun->fFailed = pNext->state == BlockFailed;
            pNext->state = BlockEmpty;
            ++pRun->iTaken;
        }
        if (pRun->nWaiting > 0)
            WakeAllConditionVariable(&pRun->taken);
    }
    ReleaseSRWLockExclusive(&pRun->lock);
}

static DWORD WINAPI HelperThread(LPVOID pvWorker)
{
    RunWorker((Worker *)pvWorker);
    return 0;
}

// Whether two handles reach the same file (volume serial and file index). A
// local file system reopens relative to the handle itself; a redirector may
// open by name again, as SMB has no open relative to a handle, and a file
// renamed and replaced in between would have blocks of two files counted as
// one. Asked only there: under Wine the volume's serial costs hundreds of
// microseconds a call (docs/design.md).
static int SameFile(HANDLE hA, HANDLE hB)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(hA, &a) && GetFileInformationByHandle(hB, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Counts the open file with the buffers rgpb[0] and rgpb[1] (a block each).
static int CountOpenFile(HANDLE hFile, FileSystemKind kind, unsigned char *const rgpb[2],
                         unsigned long long *pCount)
{
    // The first block by the caller alone: most files end within it, and need
    // no more than that read and a look at their size. Where the size cannot
    // be had, the file ends at a read that finds nothing.
    *pCount = 0;
    DWORD cbRead = 0;
    if (!ReadFileAt(hFile, 0, rgpb[0], (DWORD)COUNT_BLOCK_SIZE, &cbRead) &&
        GetLastError() != ERROR_HANDLE_EOF)
        return 0;
    LARGE_INTEGER cbSize;
    ULONGLONG cbFile = GetFileSizeEx(hFile, &cbSize) ? (ULONGLONG)cbSize.QuadPart : ~0ULL;
    LONGLONG cbFirst = (cbRead == 0) ? 0 : ReadBlock(hFile, 0, rgpb[0], cbRead, cbFile);
    if (cbFirst < 0)
        return 0;
    if (CountBlock(rgpb[0], (size_t)cbFirst, pCount) || cbFirst < (LONGLONG)COUNT_BLOCK_SIZE)
        return 1;

    CountRun run = {};
    InitializeSRWLock(&run.lock);
    InitializeConditionVariable(&run.taken);
    run.iNext = run.iTaken = 1;
    run.total = *pCount;
    run.cbFile = cbFile;
    Worker workers[2] = {{&run, hFile, rgpb[0]}, {&run, INVALID_HANDLE_VALUE, rgpb[1]}};
    HANDLE hHelper = NULL;
    if (cbFile != ~0ULL && cbFile >= COUNT_HELPER_MIN_BYTES) {
        // A handle of its own: Windows runs the reads of one synchronous
        // handle one at a time. The same file, reached without its name.
        workers[1].hFile = ReOpenFile(hFile, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_FLAG_SEQUENTIAL_SCAN);
        if (workers[1].hFile != INVALID_HANDLE_VALUE && kind != FsLocal &&
            !SameFile(hFile, workers[1].hFile)) {
            CloseHandle(workers[1].hFile);
            workers[1].hFile = INVALID_HANDLE_VALUE;
        }
        if (workers[1].hFile != INVALID_HANDLE_VALUE)
            hHelper = CreateThread(NULL, HELPER_STACK_BYTES, HelperThread, &workers[1],
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    }
    RunWorker(&workers[0]);
    // Joined before its buffer is used again. A stop's cancel reaches only
    // the loop's own thread: a helper blocked in a read (a share that stopped
    // answering) is cancelled here.
    if (hHelper != NULL) {
        while (WaitForSingleObject(hHelper, STOP_POLL_MS) == WAIT_TIMEOUT) {
            if (StopRequested)
                CancelSynchronousIo(hHelper);
        }
        CloseHandle(hHelper);
    }
    if (workers[1].hFile != INVALID_HANDLE_VALUE)
        CloseHandle(workers[1].hFile);
    *pCount = run.total;
    return !run.fFailed;
}

// The workers' buffers and the opener's, allocated at the first count and
// kept: a fresh allocation costs more than the read of a cached megabyte
// (every page is touched anew). One count at a time uses them.
static SRWLOCK BufferLock = SRWLOCK_INIT;
static unsigned char *Buffers = NULL;

int CountSpaces(const char *path, unsigned long long *pCount)
{
    int fCounted = 0;
    AcquireSRWLockExclusive(&BufferLock);
    if (Buffers == NULL)
        Buffers = (unsigned char *)VirtualAlloc(NULL, 2 * COUNT_BLOCK_SIZE + REACHED_BUFFER_BYTES,
                                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (Buffers != NULL) {
        unsigned char *const rgpb[2] = {Buffers, Buffers + COUNT_BLOCK_SIZE};
        FileSystemKind kind = FsOther;
        HANDLE hFile = OpenCountFile(path, Buffers + 2 * COUNT_BLOCK_SIZE, REACHED_BUFFER_BYTES,
                                     &kind);
        if (hFile != INVALID_HANDLE_VALUE) {
            fCounted = CountOpenFile(hFile, kind, rgpb, pCount);
            CloseHandle(hFile);
        }
    }
    ReleaseSRWLockExclusive(&BufferLock);
    return fCounted;
}
