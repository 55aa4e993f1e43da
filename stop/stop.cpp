#include "stop.h"

volatile long StopRequested = 0;
