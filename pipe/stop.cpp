#include "stop.h"

volatile long PipeStopRequested = 0;
