// quorvel-soak: many connections of every kind against the service under the
// real service manager, each reply and the whole log checked afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "pipe/protocol.h"

typedef std::vector<std::string> Lines;

// How long (ms) one pipe operation may take before the run calls it hung.
static const DWORD SOAK_IO_TIMEOUT_MS = 20000;
// How long (ms) a client keeps trying to get an instance.
static const DWORD SOAK_CONNECT_TIMEOUT_MS = 30000;
// How long (ms) a group of racing clients may take as a whole.
static const DWORD SOAK_GROUP_TIMEOUT_MS = 60000;
// How long (ms) the service may take to log what it did or reach a state.
static const DWORD SOAK_SETTLE_MS = 20000;

// The lines the service writes around each connection.
static const char CONNECTED_LINE[] = "Connected. Waiting for command.\n";
static const char WAITING_LINE[] = "Waiting for connect...\n";
static const char CLOSED_LINE[] = "Named Pipe closed!";
static const char EXITED_LINE[] = "Client exited\n";
static const char BROKEN_LINE[] = "ReadFile: Error 109\n";
static const char MORE_DATA_LINE[] = "ReadFile: Error 234\n";
static const char RECEIVED_FORMAT[] = "Received: %s\n";

// ---- checks (soak.cpp) ----

// Counts one check; prints the first failures in full. Safe from any thread.
bool Check(bool fOk, const char *szFormat, ...);
long ChecksFailed(void);
// Ends the run at once as failed, after removing the service.
void AbandonRun(const char *szWhy);

// ---- the plan (soak_plan.cpp) ----

enum RequestKind {
    RequestExisting, // a file the run made, with its known count
    RequestMissing,  // a path that names nothing
    RequestLongest,  // MAX_REQUEST_LENGTH characters
    RequestOverlong, // longer than a read: whole buffers, then a rest
    RequestNoNul,    // exactly its bytes, after a longer request
    RequestKindCount
};

enum ConnectionEnd {
    EndExit,            // "exit", its echo, then close
    EndVanish,          // close after the last reply
    EndVanishAfterSend, // the last request sent, then close at once
};

struct Request {
    RequestKind kind;
    std::string bytes;  // what is written, as one message
    int nMoreData;      // reads the server finds too short (error 234)
    std::string served; // what the server takes as the request
    std::string reply;  // the exact reply text, without its NUL
};

struct Connection {
    int iConnection;
    std::vector<Request> requests;
    ConnectionEnd end;
};

// One step of the run: a single connection, or clients racing for the pipe.
struct Unit {
    std::vector<Connection> connections;
};

struct SoakFile {
    std::string path;
    long long count;
};

// A small, fixed generator, so a seed means the same run everywhere.
struct Random {
    unsigned long long state;
};
void SeedRandom(Random *pRandom, unsigned long long seed);
unsigned long NextRandom(Random *pRandom, unsigned long cRange); // in [0, cRange)

// Makes the files with known counts under dir; false when it cannot.
bool MakeSoakFiles(const std::string &dir, Random *pRandom, std::vector<SoakFile> *pFiles);
// Plans nConnections connections (racing groups included), numbered from 0.
std::vector<Unit> PlanConnections(int nConnections, const std::string &dir,
                                  const std::vector<SoakFile> &files, Random *pRandom);
// A plain connection: one request for a file, then "exit".
Connection PlanProbe(int iConnection, const SoakFile &file);
// The lines the service logs for one connection, in order.
Lines ExpectedBlock(const Connection &conn);
std::string ExpectedReply(const std::string &served, bool fCounted, long long count);

// ---- the clients (soak_client.cpp) ----

struct ClientTally {
    volatile LONG nRequests;   // messages sent as requests
    volatile LONG nReplies;    // replies read and compared
    volatile LONG nBusy;       // ERROR_PIPE_BUSY met while connecting
    volatile LONG nNotFound;   // the name briefly gone while connecting
};

// Runs one connection and checks what it gets back.
void RunConnection(const Connection *pConn, ClientTally *pTally);
// Runs the connections of a unit: alone, or on racing threads.
void RunUnit(const Unit *pUnit, ClientTally *pTally);

// ---- the log (soak_log.cpp) ----

// Whether a log line has one of the shapes the service writes.
bool IsKnownLine(const std::string &line);
// Waits until the log holds at least nWaits "Waiting for connect" lines.
bool WaitForWaitLines(size_t nWaits, DWORD dwTimeoutMs);

struct LogFigures {
    size_t nLines;
    size_t nConnected;
    size_t nReceived;
    size_t nExited;
    size_t nBroken;      // ReadFile: Error 109
    size_t nMoreData;    // ReadFile: Error 234
    size_t nEarlyClient; // ConnectNamedPipe: ERROR_PIPE_CONNECTED
};

// Checks the whole log against the run: start lines, every unit's blocks
// whole and contiguous, the stop lines; fills the figures.
void CheckLog(const std::vector<Unit> &units, LogFigures *pFigures);

// ---- the service (soak_service.cpp) ----

struct ServiceHandles {
    SC_HANDLE hManager;
    SC_HANDLE hService;
    HANDLE hProcess;
    DWORD dwProcessId;
};

struct ProcessFigures {
    bool fOk;
    SIZE_T cbPrivate;
    SIZE_T cbWorkingSet;
    long nHandles;
};

// Registers the service (the quorvel-service.exe beside this program) anew.
bool RegisterSoakService(ServiceHandles *pSvc);
// Starts it and waits until it runs and has logged its start.
bool StartSoakService(ServiceHandles *pSvc);
SERVICE_STATUS_PROCESS QueryService(const ServiceHandles *pSvc);
ProcessFigures MeasureProcess(const ServiceHandles *pSvc);
// Stops it and checks how it stopped; then removes the registration.
void StopAndRemoveSoakService(ServiceHandles *pSvc);
