#include "agent/Service/service_events.h"

HANDLE service_events[kServiceEventCount] = {};
