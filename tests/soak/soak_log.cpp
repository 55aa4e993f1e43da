// The log after the run: every line whole and of a known shape, every
// connection's lines one complete block, in the order the clients came.
#include "soak.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "log/log.h"
#include "fixtures.h"
#include "support.h"

// Matches text against a printf format of %s (any characters but CR and LF)
// and %lld conversions.
static bool MatchFormat(const char *pszText, const char *pszFormat)
{
    if (*pszFormat == '\0')
        return *pszText == '\0';
    if (strncmp(pszFormat, "%s", 2) == 0) {
        for (const char *p = pszText;; ++p) {
            if (MatchFormat(p, pszFormat + 2))
                return true;
            if (*p == '\0' || *p == '\r' || *p == '\n')
                return false;
        }
    }
    if (strncmp(pszFormat, "%lld", 4) == 0) {
        const char *p = pszText;
        if (*p == '-')
            ++p;
        if (*p < '0' || *p > '9')
            return false;
        while (*p >= '0' && *p <= '9')
            ++p;
        return MatchFormat(p, pszFormat + 4);
    }
    return *pszText == *pszFormat && MatchFormat(pszText + 1, pszFormat + 1);
}

bool IsKnownLine(const std::string &line)
{
    static const char *const FIXED[] = {CONNECTED_LINE, WAITING_LINE,     EXITED_LINE,
                                        BROKEN_LINE,    MORE_DATA_LINE,   EARLY_CLIENT_LINE,
                                        CLOSED_LINE};
    for (const char *pszFixed : FIXED) {
        if (line == pszFixed)
            return true;
    }
    for (const std::string &known : START_LINES) {
        if (line == known)
            return true;
    }
    for (const std::string &known : STOP_LINES) {
        if (line == known)
            return true;
    }
    // A NUL inside would hide the rest of the line from the matcher.
    if (line.find('\0') != std::string::npos)
        return false;
    return MatchFormat(line.c_str(), RECEIVED_FORMAT) ||
           MatchFormat(line.c_str(), REPLY_COUNTED_FORMAT) ||
           MatchFormat(line.c_str(), REPLY_CANT_OPEN_FORMAT);
}

bool WaitForWaitLines(size_t nWaits, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    for (;;) {
        bool fTorn = false;
        Lines lines = LogLines(&fTorn);
        size_t n = (size_t)std::count(lines.begin(), lines.end(), std::string(WAITING_LINE));
        if (n >= nWaits)
            return true;
        if (GetTickCount() - dwStart >= dwTimeoutMs)
            return false;
        Sleep(20);
    }
}

static std::string Shown(const std::string &line)
{
    std::string text;
    for (size_t i = 0; i < line.size() && i < 120; ++i)
        text.push_back((line[i] >= 0x20 && line[i] < 0x7F) ? line[i] : '?');
    return text;
}

// Checks one block; says where it differs from the one expected.
static void CheckBlock(int iConnection, const Lines &expected, const Lines &actual)
{
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    Check(expected == actual,
          "log block of connection %d differs at line %u: expected \"%s\", found \"%s\"",
          iConnection, (unsigned)i,
          i < expected.size() ? Shown(expected[i]).c_str() : "<end of block>",
          i < actual.size() ? Shown(actual[i]).c_str() : "<end of block>");
}

void CheckLog(const std::vector<Unit> &units, LogFigures *pFigures)
{
    memset(pFigures, 0, sizeof *pFigures);
    bool fTorn = false;
    Lines lines = LogLines(&fTorn);
    pFigures->nLines = lines.size();
    Check(!fTorn, "the log ends inside a line");

    size_t nUnknown = 0;
    for (const std::string &line : lines) {
        if (!IsKnownLine(line)) {
            if (nUnknown < 5)
                Check(false, "log line of unknown shape: \"%s\"", Shown(line).c_str());
            ++nUnknown;
        }
        pFigures->nConnected += (line == CONNECTED_LINE);
        pFigures->nExited += (line == EXITED_LINE);
        pFigures->nBroken += (line == BROKEN_LINE);
        pFigures->nMoreData += (line == MORE_DATA_LINE);
        pFigures->nEarlyClient += (line == EARLY_CLIENT_LINE);
        pFigures->nReceived += MatchFormat(line.c_str(), RECEIVED_FORMAT);
    }
    Check(nUnknown == 0, "%u log lines of unknown shape", (unsigned)nUnknown);

    // What the clients did, added up.
    size_t nConnections = 0, nReceived = 0, nExits = 0, nVanished = 0, nMoreData = 0;
    for (const Unit &unit : units) {
        for (const Connection &conn : unit.connections) {
            ++nConnections;
            nExits += (conn.end == EndExit);
            nVanished += (conn.end != EndExit);
            nReceived += conn.requests.size() + (conn.end == EndExit);
            for (const Request &req : conn.requests)
                nMoreData += (size_t)req.nMoreData;
        }
    }
    Check(pFigures->nConnected == nConnections, "%u connections logged, %u made",
          (unsigned)pFigures->nConnected, (unsigned)nConnections);
    Check(pFigures->nReceived == nReceived, "%u requests logged as received, %u sent",
          (unsigned)pFigures->nReceived, (unsigned)nReceived);
    Check(pFigures->nExited == nExits, "%u exits logged, %u made", (unsigned)pFigures->nExited,
          (unsigned)nExits);
    Check(pFigures->nBroken == nVanished, "%u broken connections logged, %u clients vanished",
          (unsigned)pFigures->nBroken, (unsigned)nVanished);
    Check(pFigures->nMoreData == nMoreData, "%u short reads logged, %u expected",
          (unsigned)pFigures->nMoreData, (unsigned)nMoreData);

    size_t nStart = START_LINES.size(), nStop = STOP_LINES.size();
    if (!Check(lines.size() >= nStart + nStop, "the log has only %u lines", (unsigned)lines.size()))
        return;
    Check(Lines(lines.begin(), lines.begin() + nStart) == START_LINES,
          "the log does not begin with the start lines");
    Check(Tail(lines, nStop) == STOP_LINES, "the log does not end with the stop lines");

    // Between them: one block per connection, each ending with the new wait.
    std::vector<Lines> blocks;
    Lines block;
    for (size_t i = nStart; i < lines.size() - nStop; ++i) {
        if (block.empty() && lines[i] == EARLY_CLIENT_LINE)
            continue;
        block.push_back(lines[i]);
        if (lines[i] == WAITING_LINE) {
            blocks.push_back(block);
            block.clear();
        }
    }
    Check(block.empty(), "%u log lines after the last whole block", (unsigned)block.size());
    if (!Check(blocks.size() == nConnections, "%u blocks in the log, %u connections made",
               (unsigned)blocks.size(), (unsigned)nConnections))
        return;

    // Served one at a time: a unit's blocks follow each other, in any order
    // when its clients raced.
    size_t iBlock = 0;
    for (const Unit &unit : units) {
        std::vector<Lines> expected, actual;
        for (const Connection &conn : unit.connections) {
            expected.push_back(ExpectedBlock(conn));
            actual.push_back(blocks[iBlock++]);
        }
        if (expected.size() == 1) {
            CheckBlock(unit.connections[0].iConnection, expected[0], actual[0]);
            continue;
        }
        std::sort(expected.begin(), expected.end());
        std::sort(actual.begin(), actual.end());
        Check(expected == actual,
              "the blocks of racing connections %d..%d are not theirs, whole and together",
              unit.connections.front().iConnection, unit.connections.back().iConnection);
    }
}
