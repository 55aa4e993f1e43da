// The run's plan: the files with known counts, every connection's requests
// and ending, and the exact replies and log lines they must produce.
#include "soak.h"

#include <stdio.h>
#include <string.h>

#include "count/file.h"
#include "reference_count.h"
#include "support.h"

// In a hundred: how the run mixes its requests, endings and racing groups.
static const unsigned long RACE_PERCENT = 10;
static const unsigned long VANISH_PERCENT = 15;
static const unsigned long VANISH_AFTER_SEND_PERCENT = 15;
static const int MAX_REQUESTS_PER_CONNECTION = 4;
static const int MAX_RACERS = 4;
// Weights of the request kinds, in RequestKind order.
static const unsigned long KIND_WEIGHTS[RequestKindCount] = {35, 20, 10, 15, 20};

// The biggest generated file: a few of the counter's blocks.
static const unsigned long MAX_FILE_SIZE = 300 * 1024;

static const char CTRL_Z = 0x1A;

void SeedRandom(Random *pRandom, unsigned long long seed)
{
    pRandom->state = seed;
}

unsigned long NextRandom(Random *pRandom, unsigned long cRange)
{
    // splitmix64: small, and the same sequence on every platform.
    unsigned long long z = (pRandom->state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return cRange == 0 ? 0 : (unsigned long)(z % cRange);
}

// Spaces as the service must count them: up to the first Ctrl-Z.
static long long CountUpToCtrlZ(const std::string &bytes)
{
    long long count = 0;
    for (size_t i = 0; i < bytes.size() && bytes[i] != CTRL_Z; ++i)
        count += (bytes[i] == ' ');
    return count;
}

static std::string RandomText(Random *pRandom, size_t cb, unsigned long spacePercent,
                              bool fCtrlZ)
{
    static const char TEXT_CHARS[] = "abcdefghijklmnopqrstuvwxyz.,;\t";
    std::string bytes;
    bytes.reserve(cb);
    for (size_t i = 0; i < cb; ++i) {
        unsigned long r = NextRandom(pRandom, 100);
        if (r < spacePercent)
            bytes.push_back(' ');
        else if (r < spacePercent + 3)
            bytes.append("\r\n");
        else if (fCtrlZ && r == 99 && NextRandom(pRandom, 50) == 0)
            bytes.push_back(CTRL_Z);
        else
            bytes.push_back(TEXT_CHARS[NextRandom(pRandom, sizeof TEXT_CHARS - 1)]);
    }
    return bytes;
}

static std::string RandomBinary(Random *pRandom, size_t cb)
{
    std::string bytes;
    bytes.reserve(cb);
    for (size_t i = 0; i < cb; ++i)
        bytes.push_back((char)NextRandom(pRandom, 256));
    return bytes;
}

static bool AddFile(const std::string &path, const std::string &bytes,
                    std::vector<SoakFile> *pFiles)
{
    if (!WriteWholeFile(path, bytes)) {
        Check(false, "cannot write %s", path.c_str());
        return false;
    }
    SoakFile file = {path, CountUpToCtrlZ(bytes)};
    // The runtime's own text mode must see the same count we expect.
    long long reference = -1;
    Check(CountSpacesByteLoop(path.c_str(), &reference) && reference == file.count,
          "%s: expected %lld spaces, the text-mode loop counts %lld", path.c_str(), file.count,
          reference);
    pFiles->push_back(file);
    return true;
}

bool MakeSoakFiles(const std::string &dir, Random *pRandom, std::vector<SoakFile> *pFiles)
{
    bool fOk = true;
    fOk &= AddFile(dir + "\\empty.txt", "", pFiles);
    fOk &= AddFile(dir + "\\only spaces.txt", std::string(1000, ' '), pFiles);
    fOk &= AddFile(dir + "\\ctrl-z.txt",
                   std::string(10, ' ') + CTRL_Z + std::string(10, ' '), pFiles);
    // Spaces on both sides of the counter's block edge.
    std::string edge(COUNT_BLOCK_SIZE + 2, 'e');
    edge[0] = edge[COUNT_BLOCK_SIZE - 1] = edge[COUNT_BLOCK_SIZE] = ' ';
    edge[edge.size() - 1] = ' ';
    fOk &= AddFile(dir + "\\block edge.bin", edge, pFiles);
    // A name long enough that the request is most of a message.
    std::string longName = dir + "\\" + std::string(180, 'n') + ".txt";
    fOk &= AddFile(longName, RandomText(pRandom, 5000, 20, false), pFiles);
    for (int i = 0; i < 6; ++i) {
        char szName[64];
        snprintf(szName, sizeof szName, "\\text %d.txt", i);
        size_t cb = NextRandom(pRandom, MAX_FILE_SIZE);
        fOk &= AddFile(dir + szName, RandomText(pRandom, cb, 5 + 5 * i, i % 2 == 1), pFiles);
    }
    for (int i = 0; i < 3; ++i) {
        char szName[64];
        snprintf(szName, sizeof szName, "\\binary-%d.bin", i);
        fOk &= AddFile(dir + szName, RandomBinary(pRandom, NextRandom(pRandom, MAX_FILE_SIZE)),
                       pFiles);
    }
    return fOk;
}

std::string ExpectedReply(const std::string &served, bool fCounted, long long count)
{
    char szReply[MESSAGE_SIZE + 64];
    if (fCounted)
        snprintf(szReply, sizeof szReply, REPLY_COUNTED_FORMAT, served.c_str(), count);
    else
        snprintf(szReply, sizeof szReply, REPLY_CANT_OPEN_FORMAT, served.c_str());
    return szReply;
}

// Fills in what the server makes of the bytes: it reads a buffer at a time,
// drops every read that is too short (error 234) and serves the last one up
// to its first NUL.
static void CompleteRequest(Request *pReq, const std::vector<SoakFile> &files)
{
    size_t cb = pReq->bytes.size();
    pReq->nMoreData = cb == 0 ? 0 : (int)((cb - 1) / PIPE_BUFFER_SIZE);
    std::string last = pReq->bytes.substr((size_t)pReq->nMoreData * PIPE_BUFFER_SIZE);
    size_t iNul = last.find('\0');
    pReq->served = (iNul == std::string::npos) ? last : last.substr(0, iNul);
    for (const SoakFile &file : files) {
        if (file.path == pReq->served) {
            pReq->reply = ExpectedReply(pReq->served, true, file.count);
            return;
        }
    }
    pReq->reply = ExpectedReply(pReq->served, false, 0);
}

static std::string WithNul(const std::string &text)
{
    return text + std::string(1, '\0');
}

static std::string MissingPath(const std::string &dir, int iConnection, int iRequest)
{
    char szTail[64];
    snprintf(szTail, sizeof szTail, "\\missing\\c%d-r%d.txt", iConnection, iRequest);
    return dir + szTail;
}

static std::string LongestPath(const std::string &dir, int iConnection, int iRequest,
                               Random *pRandom)
{
    char szTail[64];
    snprintf(szTail, sizeof szTail, "\\longest-c%d-r%d-", iConnection, iRequest);
    std::string path = dir + szTail;
    while (path.size() < MAX_REQUEST_LENGTH)
        path.push_back(NextRandom(pRandom, 16) == 0 ? '\\' : (char)('a' + NextRandom(pRandom, 26)));
    return path;
}

static const SoakFile &AnyFile(const std::vector<SoakFile> &files, Random *pRandom)
{
    return files[NextRandom(pRandom, (unsigned long)files.size())];
}

static RequestKind PickKind(Random *pRandom)
{
    unsigned long total = 0;
    for (int i = 0; i < RequestKindCount; ++i)
        total += KIND_WEIGHTS[i];
    unsigned long r = NextRandom(pRandom, total);
    for (int i = 0; i < RequestKindCount; ++i) {
        if (r < KIND_WEIGHTS[i])
            return (RequestKind)i;
        r -= KIND_WEIGHTS[i];
    }
    return RequestExisting;
}

static Request PlanRequest(RequestKind kind, int iConnection, int iRequest, const std::string &dir,
                           const std::vector<SoakFile> &files, Random *pRandom)
{
    Request req;
    req.kind = kind;
    switch (kind) {
    case RequestExisting:
        req.bytes = WithNul(AnyFile(files, pRandom).path);
        break;
    case RequestMissing:
        req.bytes = WithNul(MissingPath(dir, iConnection, iRequest));
        break;
    case RequestLongest:
        req.bytes = WithNul(LongestPath(dir, iConnection, iRequest, pRandom));
        break;
    case RequestOverlong: {
        // One or two whole buffers of anything, then a rest served on its own:
        // a real file, a missing one, nothing, or a whole buffer without a NUL.
        size_t cbHead = PIPE_BUFFER_SIZE * (NextRandom(pRandom, 4) == 0 ? 2 : 1);
        req.bytes = RandomBinary(pRandom, cbHead);
        switch (NextRandom(pRandom, 4)) {
        case 0:
            req.bytes += WithNul(AnyFile(files, pRandom).path);
            break;
        case 1:
            req.bytes += WithNul(MissingPath(dir, iConnection, iRequest));
            break;
        case 2:
            req.bytes += std::string(1, '\0');
            break;
        default: {
            std::string full = MissingPath(dir, iConnection, iRequest) + "-";
            full.resize(PIPE_BUFFER_SIZE, 'f');
            req.bytes += full;
            break;
        }
        }
        break;
    }
    case RequestNoNul:
    default:
        req.bytes = NextRandom(pRandom, 3) == 0 ? MissingPath(dir, iConnection, iRequest)
                                                : AnyFile(files, pRandom).path;
        break;
    }
    CompleteRequest(&req, files);
    return req;
}

static Connection PlanConnection(int iConnection, const std::string &dir,
                                 const std::vector<SoakFile> &files, Random *pRandom)
{
    Connection conn;
    conn.iConnection = iConnection;
    unsigned long r = NextRandom(pRandom, 100);
    conn.end = r < VANISH_PERCENT                               ? EndVanish
               : r < VANISH_PERCENT + VANISH_AFTER_SEND_PERCENT ? EndVanishAfterSend
                                                                : EndExit;
    int nRequests = 1 + (int)NextRandom(pRandom, MAX_REQUESTS_PER_CONNECTION);
    for (int i = 0; i < nRequests; ++i) {
        RequestKind kind = PickKind(pRandom);
        int iRequest = (int)conn.requests.size();
        if (kind == RequestNoNul) {
            // Its point is the stale tail of a longer request before it.
            Request noNul = PlanRequest(kind, iConnection, iRequest + 1, dir, files, pRandom);
            bool fLongerBefore = iRequest > 0 && conn.requests.back().nMoreData == 0 &&
                                 conn.requests.back().bytes.size() > noNul.bytes.size() + 1;
            if (!fLongerBefore)
                conn.requests.push_back(
                    PlanRequest(RequestLongest, iConnection, iRequest, dir, files, pRandom));
            conn.requests.push_back(noNul);
        } else {
            conn.requests.push_back(PlanRequest(kind, iConnection, iRequest, dir, files, pRandom));
        }
    }
    if (conn.end == EndVanishAfterSend) {
        // One whole exchange first, so the server is surely reading when the
        // last request comes; that one is a single plain message.
        if (conn.requests.size() < 2)
            conn.requests.push_back(PlanRequest(RequestExisting, iConnection,
                                                (int)conn.requests.size(), dir, files, pRandom));
        Request &last = conn.requests.back();
        if (last.kind == RequestOverlong || last.kind == RequestNoNul)
            last = PlanRequest(RequestMissing, iConnection, (int)conn.requests.size() + 1, dir,
                               files, pRandom);
    }
    return conn;
}

std::vector<Unit> PlanConnections(int nConnections, const std::string &dir,
                                  const std::vector<SoakFile> &files, Random *pRandom)
{
    std::vector<Unit> units;
    int iConnection = 0;
    while (iConnection < nConnections) {
        int nInUnit = 1;
        if (NextRandom(pRandom, 100) < RACE_PERCENT)
            nInUnit = 2 + (int)NextRandom(pRandom, MAX_RACERS - 1);
        if (nInUnit > nConnections - iConnection)
            nInUnit = nConnections - iConnection;
        Unit unit;
        for (int i = 0; i < nInUnit; ++i)
            unit.connections.push_back(PlanConnection(iConnection++, dir, files, pRandom));
        units.push_back(unit);
    }
    return units;
}

Connection PlanProbe(int iConnection, const SoakFile &file)
{
    Connection conn;
    conn.iConnection = iConnection;
    conn.end = EndExit;
    Request req;
    req.kind = RequestExisting;
    req.bytes = WithNul(file.path);
    req.nMoreData = 0;
    req.served = file.path;
    req.reply = ExpectedReply(file.path, true, file.count);
    conn.requests.push_back(req);
    return conn;
}

Lines ExpectedBlock(const Connection &conn)
{
    char szLine[MESSAGE_SIZE + 64];
    Lines lines = {CONNECTED_LINE};
    for (const Request &req : conn.requests) {
        for (int i = 0; i < req.nMoreData; ++i)
            lines.push_back(MORE_DATA_LINE);
        snprintf(szLine, sizeof szLine, RECEIVED_FORMAT, req.served.c_str());
        lines.push_back(szLine);
        lines.push_back(req.reply);
    }
    if (conn.end == EndExit) {
        snprintf(szLine, sizeof szLine, RECEIVED_FORMAT, EXIT_COMMAND);
        lines.push_back(szLine);
        lines.push_back(EXITED_LINE);
    } else {
        lines.push_back(BROKEN_LINE);
    }
    lines.push_back(CLOSED_LINE);
    lines.push_back(WAITING_LINE);
    return lines;
}
