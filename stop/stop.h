// The process-wide stop request: the lowest room but the log's. The service
// raises it (through StopPipeServer) when it is told to stop; the connection
// loop tests it after every blocking call, and the counter between blocks.
#pragma once

// Nonzero once a stop has been requested. Written with an interlocked
// operation, read as a plain aligned load.
extern volatile long StopRequested;
